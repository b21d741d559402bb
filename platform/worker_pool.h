// The process's one pool of worker threads: extraction writes and closes files on it, and the
// progress display runs its work on it. Threads of platform/threads.h.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/threads.h"

namespace zyv {

/// The largest pool worth having: writing files stops scaling well before it, and every thread
/// costs a stack.
inline constexpr unsigned kMaxWorkers = 8;

/// How many workers a pool of this machine has: the processor count, at most kMaxWorkers, unless
/// SetWorkerCountForTesting has fixed it.
unsigned WorkerCount();

/// SetWorkerCountForTesting's way of giving the choice back to the processor count.
inline constexpr unsigned kWorkersFromCores = ~0u;

/// Fixes WorkerCount() for the pools made from now on: 0 to kMaxWorkers (more count as
/// kMaxWorkers), or kWorkersFromCores. With 0 there are no threads at all: each task runs on the
/// thread that submits it, in order, the same way on every run (fuzzing). For tests and fuzzers; the
/// installer never calls it, and a benchmark build fixes the count with ZYV_BENCH_WORKERS instead.
void SetWorkerCountForTesting(unsigned count);

/// A fixed set of threads that run tasks in the order they were submitted. Tasks must not throw.
class WorkerPool {
 public:
  using Task = std::function<void()>;

  /// Starts up to threads workers. Where the system refuses a thread the pool makes do with fewer;
  /// with none at all, Submit runs each task itself before it returns.
  explicit WorkerPool(unsigned threads);
  /// Waits for every task submitted, then ends the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(Task task);
  /// Returns once every task submitted so far has returned.
  void Wait();
  /// The threads actually started (0: tasks run in Submit).
  unsigned size() const { return static_cast<unsigned>(threads_.size()); }

 private:
  void Work();

  Mutex mutex_;
  CondVar queued_;  // a task waits, or the pool is ending
  CondVar idle_;    // the last pending task has returned
  std::deque<Task> queue_;
  unsigned pending_ = 0;  // submitted and not yet returned
  bool ending_ = false;
  std::vector<Thread> threads_;
};

}  // namespace zyv
