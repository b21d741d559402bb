// Win32: the archive is opened by the SDK's own wide-path opener (GENERIC_READ, OPEN_EXISTING,
// FILE_SHARE_READ); an output file is created or replaced with GENERIC_WRITE and FILE_SHARE_READ as
// CREATE_ALWAYS would, but never through a link at its name (platform/win32/no_follow.h).
#include "payload/archive_file.h"

#include <string>

#include "platform/win32/no_follow.h"

namespace zyv {
namespace {

using win32::W;

/// The attribute bits with which CREATE_ALWAYS refuses an existing file (read-only always, hidden and
/// system unless the new attributes carry them):
/// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-createfilew
constexpr DWORD kRefusingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

/// Clears the refusing bits of an existing file; they come from the archive and are set again once
/// the new contents are written.
bool ClearRefusingAttributes(const WString& path) {
  const DWORD attributes = GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (attributes & kRefusingAttributes) == 0) {
    return false;
  }
  return SetFileAttributesW(W(path), attributes & ~kRefusingAttributes) != FALSE;
}

bool Open(CSzFile* file, const WString& path) {
  file->handle = win32::CreateForWriting(path, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
  return file->handle != INVALID_HANDLE_VALUE;
}

}  // namespace

// The handle decides, not the returned code: GetLastError may be 0 after a failed CreateFileW.
bool OpenArchiveFile(CSzFile* file, const WString& path) {
  InFile_OpenW(file, W(path));
  return file->handle != INVALID_HANDLE_VALUE;
}

bool OpenInstalledFile(CSzFile* file, const WString& path, UInt64& size) {
  // FILE_FLAG_OPEN_REPARSE_POINT: a link is opened itself, and then refused by its attributes.
  const HANDLE handle =
      CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
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
  // A file an earlier installation wrote read-only, hidden or system.
  if (error == ERROR_ACCESS_DENIED && ClearRefusingAttributes(path)) {
    if (Open(file, path)) return true;
    error = GetLastError();
  }
  SetLastError(error);  // the reason the file could not be written, not that of the attempts
  return false;
}

}  // namespace zyv
