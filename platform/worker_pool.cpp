#include "platform/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace zyv {

namespace {

#ifdef ZYV_BENCH_WORKERS
constexpr unsigned kBuiltCount = ZYV_BENCH_WORKERS;  // a benchmark build's fixed count
#else
constexpr unsigned kBuiltCount = kWorkersFromCores;
#endif

std::atomic<unsigned> g_fixed{kBuiltCount};

}  // namespace

unsigned WorkerCount() {
  const unsigned fixed = g_fixed.load(std::memory_order_relaxed);
  if (fixed != kWorkersFromCores) return std::min(fixed, kMaxWorkers);
  return std::clamp(Thread::ProcessorCount(), 1u, kMaxWorkers);
}

void SetWorkerCountForTesting(unsigned count) { g_fixed.store(count, std::memory_order_relaxed); }

WorkerPool::WorkerPool(unsigned threads) {
  threads_.reserve(threads);
  for (unsigned k = 0; k < threads; ++k) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (...) {
      break;  // the system has no more threads to give: the ones started do the work
    }
  }
}

WorkerPool::~WorkerPool() {
  Wait();
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  queued_.notify_all();
  for (Thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(Task task) {
  if (threads_.empty()) {
    task();
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    ++pending_;
  }
  queued_.notify_one();
}

void WorkerPool::Wait() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending, and nothing left to run
    Task task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // what the task holds goes before it counts as returned
    lock.lock();
    if (--pending_ == 0) idle_.notify_all();
  }
}

}  // namespace zyv
