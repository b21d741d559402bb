#include "platform/threads.h"

#include <process.h>
#include <windows.h>

#include <memory>
#include <new>

namespace zyv {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

SRWLOCK* Srw(void** state) { return reinterpret_cast<SRWLOCK*>(state); }

unsigned __stdcall RunBody(void* arg) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return 0;
}

}  // namespace

void Mutex::lock() { AcquireSRWLockExclusive(Srw(&lock_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(Srw(&lock_)); }
bool Mutex::try_lock() { return TryAcquireSRWLockExclusive(Srw(&lock_)) != 0; }

void CondVar::wait(Lock& lock) {
  // INFINITE: the call returns only once woken (or spuriously), never with a timeout.
  SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&cv_), Srw(&lock.mutex()->lock_), INFINITE,
                            0);
}
void CondVar::notify_one() { WakeConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&cv_)); }
void CondVar::notify_all() { WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&cv_)); }

Thread::Thread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // _beginthreadex rather than CreateThread: the C runtime keeps per-thread data of its own.
  const uintptr_t handle = _beginthreadex(nullptr, 0, RunBody, owned.get(), 0, nullptr);
  if (handle == 0) throw std::bad_alloc();
  owned.release();  // the thread owns it now
  handle_ = reinterpret_cast<void*>(handle);
}

Thread::Thread(Thread&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

Thread::~Thread() {
  if (handle_ != nullptr) CloseHandle(handle_);  // never joined: it runs on, detached
}

void Thread::join() {
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

unsigned Thread::ProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    unsigned n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
}

}  // namespace zyv
