#include "platform/worker_pool.h"

#include <system_error>
#include <utility>

#include "platform/platform.h"

namespace linkdata {

// A helper that cannot be started (a thread limit, no memory for its stack)
// leaves the work to those that could, down to the waiting thread alone.
WorkerPool::WorkerPool(unsigned helpers) {
  helpers_.reserve(helpers);
  for (unsigned i = 0; i < helpers; ++i) {
    try {
      helpers_.emplace_back([this] { helper_loop(); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  work_ready_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void WorkerPool::submit(TaskGroup& group, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Queued{&group, std::move(task)});  // may throw: count it only once queued
    ++group.pending;
  }
  work_ready_.notify_one();
}

void WorkerPool::submit_first(TaskGroup& group, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_front(Queued{&group, std::move(task)});  // may throw: count it only once queued
    ++group.pending;
  }
  work_ready_.notify_one();
}

// Pops the first task and runs it with the lock released. The group's count
// drops under the lock, after the task's writes, so a waiter that sees the
// count at zero also sees everything the task produced.
void WorkerPool::run_one(std::unique_lock<std::mutex>& lock) {
  Queued q = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  std::exception_ptr failure;
  try {
    q.task();
  } catch (...) {
    failure = std::current_exception();
  }
  q.task = nullptr;  // release what the task holds before reporting it done
  lock.lock();
  if (failure && !q.group->failure) q.group->failure = failure;
  --q.group->pending;
  task_done_.notify_all();
}

void WorkerPool::wait(TaskGroup& group) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (group.pending != 0) {
    if (!queue_.empty()) {
      run_one(lock);
    } else {
      task_done_.wait(lock);
    }
  }
  if (group.failure) {
    const std::exception_ptr failure = group.failure;
    group.failure = nullptr;
    std::rethrow_exception(failure);
  }
}

void WorkerPool::helper_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    run_one(lock);
  }
}

unsigned helper_threads() { return platform::cpu_count() - 1; }

}  // namespace linkdata
