// Win32: the system's errors are GetLastError codes, their text from the system's message table.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace zyv {

int LastSystemError() { return static_cast<int>(GetLastError()); }

WString SystemErrorText(int error) {
  wchar_t buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, buf, sizeof buf / sizeof buf[0], nullptr);
  // The message ends with ".\r\n"; the line break belongs to the caller.
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
  if (n == 0) {
    const std::string number = "error " + std::to_string(error);
    return WString(number.begin(), number.end());
  }
  return win32::FromW(buf, n);
}

}  // namespace zyv
