// Starting a program through the shell.
#include "platform/win32/com.h"
// This needs windows.h before it.
#include <shellapi.h>

namespace zyv {

bool ShellOpen(const WString& verb, const WString& file, const WString& params, const WString& dir,
               int show) {
  using win32::W;
  using win32::WOrNull;
  // The shell may hand the request to an extension that needs COM on this thread.
  const win32::ComScope com;
  const HINSTANCE result =
      ShellExecuteW(nullptr, WOrNull(verb), W(file), WOrNull(params), WOrNull(dir), show);
  // Values above 32 mean success; the rest are error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace zyv
