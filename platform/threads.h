// Threads, locks and condition variables of the process's own. On Windows they are the system's
// (a thread from the C runtime's _beginthreadex, a slim reader/writer lock, a condition variable),
// so the installer carries no POSIX thread emulation; on POSIX they are the standard library's.
// Mutex meets the standard's Lockable requirements, so std::lock_guard and std::unique_lock hold it.
#pragma once

#include <functional>
#include <mutex>

#ifndef _WIN32
#include <condition_variable>
#include <thread>
#endif

namespace zyv {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
#ifdef _WIN32
  void lock();
  void unlock();
  bool try_lock();

 private:
  friend class CondVar;
  void* lock_ = nullptr;  // an SRWLOCK, whose initial state is all zero
#else
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
#endif
};

using Lock = std::unique_lock<Mutex>;

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  /// Releases the lock's mutex, waits for a notification (or a spurious wake), and holds it again.
  void wait(Lock& lock);
  template <class Predicate>
  void wait(Lock& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
#ifdef _WIN32
  void notify_one();
  void notify_all();

 private:
  void* cv_ = nullptr;  // a CONDITION_VARIABLE, whose initial state is all zero
#else
  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
#endif
};

/// A thread that runs body once. The system's refusal to start it throws std::bad_alloc: a thread
/// is a resource, and every caller treats a refusal as one thread fewer. It must be joined before
/// it is destroyed.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&&) = delete;
  Thread(const Thread&) = delete;
  ~Thread();

  void join();

  /// The processors this process may run on, at least 1.
  static unsigned ProcessorCount();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  std::thread thread_;
#endif
};

}  // namespace zyv
