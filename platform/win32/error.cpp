// Win32: the system's errors are GetLastError codes, their text from the system's message table.
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/no_follow.h"

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

int DiskFullError() { return static_cast<int>(ERROR_DISK_FULL); }

ErrorKind ClassifySystemError(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::kDiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return ErrorKind::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return ErrorKind::kInUse;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ErrorKind::kOutOfMemory;
    case win32::kLinkRefused:
      return ErrorKind::kLink;
    default:
      return ErrorKind::kOther;
  }
}

std::uint64_t FreeDiskSpace(const WString& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(win32::SysPath(path), &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

}  // namespace zyv
