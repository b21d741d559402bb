// Win32: every file is opened where it is, never through a link at its name or on the way to it below
// the guarded install base (platform/win32/no_follow.h): the archive for reading (FILE_SHARE_READ),
// an output file created or replaced with GENERIC_WRITE and FILE_SHARE_READ as CREATE_ALWAYS would.
#include "payload/archive_file.h"

#include <string>

#include "platform/win32/no_follow.h"

namespace zyv {
namespace {

/// Clears the read-only bit of an existing file, which refuses it to a writer: it comes from the
/// archive and is set again once the new contents are written.
bool ClearReadOnly(const WString& path) {
  const HANDLE handle = win32::OpenPath(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic;
  bool cleared = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
                 (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (cleared) {
    const DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    basic = {};  // zero times: left as they are
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    cleared = SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  CloseHandle(handle);
  return cleared;
}

bool Open(CSzFile* file, const WString& path) {
  file->handle = win32::CreateForWriting(path, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
  return file->handle != INVALID_HANDLE_VALUE;
}

}  // namespace

bool OpenArchiveFile(CSzFile* file, const WString& path) {
  // Opened where it is, never through a link (the staging file the run itself wrote).
  file->handle = win32::OpenPath(path, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  return file->handle != INVALID_HANDLE_VALUE;
}

bool OpenInstalledFile(CSzFile* file, const WString& path, UInt64& size) {
  // A link is opened itself, and refused.
  const HANDLE handle =
      win32::OpenPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == FALSE ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(handle);
    return false;
  }
  size = (UInt64{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  file->handle = handle;
  return true;
}

bool CreateOutputFile(CSzFile* file, const WString& path) {
  if (Open(file, path)) return true;
  DWORD error = GetLastError();
  // A file an earlier installation wrote read-only.
  if (error == ERROR_ACCESS_DENIED && ClearReadOnly(path)) {
    if (Open(file, path)) return true;
    error = GetLastError();
  }
  SetLastError(error);  // the reason the file could not be written, not that of the attempts
  return false;
}

}  // namespace zyv
