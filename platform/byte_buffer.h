// Byte buffers whose growth leaves the new bytes as they are instead of
// zero-filling them, for buffers that are written whole right after (content
// being inflated, a payload being read), and a bounded store of such buffers
// for reuse, so that a run of entries does not ask the system for fresh pages
// and fault them in entry after entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace linkdata {

template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  // Default-initialises: for bytes, leaves them as they are.
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ByteBuffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// Buffers handed back once their bytes are used, kept for the next ones that
// need as much. Only buffers of at most max_buffer_bytes are kept, at most
// max_buffers of them, and in all at most max_bytes and no more than the
// largest buffer given so far, so that idle buffers add about one buffer's
// worth to memory at most; the smallest go first, since those are the
// cheapest to get again. Safe to use from several threads.
class BufferStore {
 public:
  BufferStore(size_t max_buffers, size_t max_buffer_bytes, size_t max_bytes)
      : max_buffers_(max_buffers), max_buffer_bytes_(max_buffer_bytes), max_bytes_(max_bytes) {}

  // The smallest kept buffer with room for `size` bytes, or else the largest
  // kept one (which will grow in place of a new one: a fresh buffer would
  // leave it idle beside it), emptied with its capacity kept; a new empty
  // buffer when none is kept, or when the smallest with room is more than
  // four times larger than needed (and than 64 KiB).
  ByteBuffer take(size_t size);
  void give(ByteBuffer buffer) noexcept;
  // Capacity of the buffers kept right now.
  size_t kept_bytes() const;

 private:
  const size_t max_buffers_;
  const size_t max_buffer_bytes_;
  const size_t max_bytes_;
  mutable std::mutex mutex_;
  std::vector<ByteBuffer> kept_;  // room for one more than max_buffers_, reserved on first use
  size_t kept_bytes_ = 0;
  size_t largest_given_ = 0;
};

}  // namespace linkdata
