#include "platform/threads.h"

#include <new>
#include <system_error>
#include <utility>

namespace zyv {

void CondVar::wait(Lock& lock) {
  std::unique_lock<std::mutex> inner(lock.mutex()->mutex_, std::adopt_lock);
  cv_.wait(inner);
  inner.release();  // the caller's lock still holds it
}

Thread::Thread(std::function<void()> body) {
  try {
    thread_ = std::thread(std::move(body));
  } catch (const std::system_error&) {
    throw std::bad_alloc();
  }
}

Thread::Thread(Thread&& other) noexcept : thread_(std::move(other.thread_)) {}

Thread::~Thread() = default;

void Thread::join() { thread_.join(); }

unsigned Thread::ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

}  // namespace zyv
