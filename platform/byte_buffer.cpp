#include "platform/byte_buffer.h"

#include <algorithm>

namespace linkdata {

namespace {
constexpr size_t kSmallBuffer = 64 * 1024;
}  // namespace

ByteBuffer BufferStore::take(size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.empty()) return ByteBuffer();
  auto best = kept_.end();
  auto largest = kept_.begin();
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (it->capacity() >= size && (best == kept_.end() || it->capacity() < best->capacity()))
      best = it;
    if (it->capacity() > largest->capacity()) largest = it;
  }
  if (best == kept_.end()) {
    best = largest;
  } else if (best->capacity() / 4 > size + kSmallBuffer) {
    // A small buffer costs malloc little; a large one lent to it would stay
    // resident, unused, for as long as it is lent.
    return ByteBuffer();
  }
  ByteBuffer buffer = std::move(*best);
  kept_.erase(best);
  kept_bytes_ -= buffer.capacity();
  buffer.clear();
  return buffer;
}

void BufferStore::give(ByteBuffer buffer) noexcept {
  const size_t capacity = buffer.capacity();
  if (capacity == 0 || capacity > max_buffer_bytes_ || max_buffers_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    if (kept_.capacity() <= max_buffers_) kept_.reserve(max_buffers_ + 1);
  } catch (const std::bad_alloc&) {
    return;  // the buffer goes back to the system
  }
  kept_.push_back(std::move(buffer));
  kept_bytes_ += capacity;
  largest_given_ = std::max(largest_given_, capacity);
  while (kept_.size() > max_buffers_ || kept_bytes_ > std::min(max_bytes_, largest_given_)) {
    auto smallest = std::min_element(
        kept_.begin(), kept_.end(),
        [](const ByteBuffer& a, const ByteBuffer& b) { return a.capacity() < b.capacity(); });
    kept_bytes_ -= smallest->capacity();
    kept_.erase(smallest);
  }
}

size_t BufferStore::kept_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_bytes_;
}

}  // namespace linkdata
