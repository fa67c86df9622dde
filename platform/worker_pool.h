// A fixed set of helper threads that run queued tasks in the order they were
// submitted (work that a task splits off may go first). The thread that waits for a group of tasks
// helps: it runs queued tasks itself until its group is done. With no helper threads (one CPU)
// every task therefore runs on the waiting thread, in queue order, as a plain loop would run it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace linkdata {

// Tasks submitted under one group; the pool counts the ones not yet finished.
// Must stay in place (not move) while any of its tasks is queued or running.
struct TaskGroup {
  size_t pending = 0;          // guarded by the pool's mutex
  std::exception_ptr failure;  // the first exception a task let out, likewise
};

class WorkerPool {
 public:
  explicit WorkerPool(unsigned helpers);
  // Drops the tasks still queued and joins the helpers; tasks already running
  // finish first, so whatever they use must outlive the pool.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(TaskGroup& group, std::function<void()> task);
  // Queues a task ahead of every queued one, for work that an earlier
  // submitted task has split off and that others wait for.
  void submit_first(TaskGroup& group, std::function<void()> task);
  // Returns once every task of the group has run, running queued tasks (of
  // any group, in queue order) on the calling thread meanwhile. An exception
  // that a task of the group let out (std::bad_alloc, on a helper thread,
  // where it would end the process) is thrown here, once all of them ran.
  void wait(TaskGroup& group);
  // The helper threads that could be started; the waiting thread helps besides.
  size_t helper_count() const { return helpers_.size(); }

 private:
  struct Queued {
    TaskGroup* group;
    std::function<void()> task;
  };
  void run_one(std::unique_lock<std::mutex>& lock);
  void helper_loop();

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable task_done_;
  std::deque<Queued> queue_;
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

// Helper threads worth starting beside the calling thread: one fewer than the
// CPUs this process may run on, so that `taskset -c 0` runs everything on the
// caller.
unsigned helper_threads();

}  // namespace linkdata
