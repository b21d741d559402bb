// Starting a program through the shell.

#include "platform/win32/wide.h"
// These need windows.h before them.
#include <objbase.h>
#include <shellapi.h>

namespace zyv {
namespace {

// The shell may hand the request to an extension that needs COM on this thread:
// https://learn.microsoft.com/windows/win32/api/shellapi/nf-shellapi-shellexecutew
class ComScope {
 public:
  ComScope() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool ok_;
};

}  // namespace

bool ShellOpen(const WString& verb, const WString& file, const WString& params, const WString& dir,
               int show) {
  using win32::W;
  using win32::WOrNull;
  ComScope com;
  const HINSTANCE result =
      ShellExecuteW(nullptr, WOrNull(verb), W(file), WOrNull(params), WOrNull(dir), show);
  // Values above 32 mean success; the rest are error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace zyv
