// Objects that cost much to make and serve one call at a time (a compressor,
// a decompressor), kept for reuse by whichever thread needs one next: a call
// leases one and gives it back when done, and the pool frees them all when
// the program ends.
//
// A thread_local holder with a destructor would keep one per thread instead,
// but MinGW frees a thread's thread-local storage before the destructors of
// its thread_local objects run, so the Windows build freed a garbage pointer
// at every worker thread's end. Leasing costs one uncontended lock per call,
// nothing beside the work of a block.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace linkdata {

template <typename T, void (*Free)(T*)>
class ReusableObjects {
 public:
  ReusableObjects() = default;
  ReusableObjects(const ReusableObjects&) = delete;
  ReusableObjects& operator=(const ReusableObjects&) = delete;
  ~ReusableObjects() {
    for (T* object : idle_) Free(object);
  }

  // Gives an idle object back to the pool when it goes; holds nullptr when
  // none was idle and making one failed.
  class Lease {
   public:
    Lease(ReusableObjects& pool, T* object) : pool_(&pool), object_(object) {}
    Lease(Lease&& other) noexcept
        : pool_(other.pool_), object_(std::exchange(other.object_, nullptr)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (object_ != nullptr) pool_->give_back(object_);
    }
    T* get() const { return object_; }

   private:
    ReusableObjects* pool_;
    T* object_;
  };

  // An idle object, or a new one from make() when none is idle.
  template <typename Make>
  Lease lease(Make make) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        T* object = idle_.back();
        idle_.pop_back();
        return Lease(*this, object);
      }
    }
    return Lease(*this, make());
  }

 private:
  void give_back(T* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      idle_.push_back(object);
    } catch (...) {
      Free(object);  // no memory to keep it: make another next time
    }
  }

  std::mutex mutex_;
  std::vector<T*> idle_;
};

}  // namespace linkdata
