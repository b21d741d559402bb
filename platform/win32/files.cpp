// Files and directories: existence, creation, removal, replacing renames and attributes.
#include "platform/win32/no_follow.h"

namespace zyv {

using win32::W;

bool PathExists(const WString& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool MakeDirectory(const WString& path) { return CreateDirectoryW(W(path), nullptr) != FALSE; }

bool RemoveFile(const WString& path) {
  // Deleted by a handle on path itself, once that handle is known to be no link's: under Wine,
  // DeleteFileW on a Unix symbolic link deletes what it leads to.
  const HANDLE file = CreateFileW(W(path), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD error = win32::kLinkRefused;
  bool deleted = false;
  if (win32::OpenedAsNamed(file, path)) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    deleted =
        SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    error = GetLastError();
  }
  CloseHandle(file);
  if (!deleted) SetLastError(error);
  return deleted;
}

bool ReplaceFileAtomically(const WString& from, const WString& to) {
  // Renames do not follow a link at either name on Windows, but Wine's moves what one at from
  // leads to.
  if (!win32::NoLinkAt(from)) {
    SetLastError(win32::kLinkRefused);
    return false;
  }
  return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib) {
  return SetFileAttributesW(W(path), attrib) != FALSE;
}

}  // namespace zyv
