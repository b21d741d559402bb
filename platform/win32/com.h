// COM on the calling thread, and the interface references taken from it, owned by scopes.
#pragma once

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <objbase.h>

namespace zyv::win32 {

/// Keeps COM initialised on this thread for the scope. Only a successful initialisation (S_OK or
/// S_FALSE) is balanced: uninitialising after a refused one would end another owner's COM.
class ComScope {
 public:
  // A single-threaded apartment, as the shell's objects (the link object, and the extensions that
  // ShellExecute may hand a request to) expect; CoInitialize would choose the same. OLE1's DDE is
  // left out, as the ShellExecute documentation asks:
  // https://learn.microsoft.com/windows/win32/api/shellapi/nf-shellapi-shellexecutew
  ComScope()
      : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ComScope() {
    if (initialised_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialised_;
};

/// Owns one interface reference and releases it when the scope ends. Declare it after the
/// ComScope it needs, so that it is released first.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  /// The slot a creating call fills; only valid while empty.
  void** Slot() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace zyv::win32
