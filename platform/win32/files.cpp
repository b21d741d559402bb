// Files and directories: existence, creation, removal, renames and attributes.
#include <string>
#include <vector>

#include "platform/win32/no_follow.h"

namespace zyv {

using win32::W;

namespace {

/// Whether error is what a file held for a moment gives (a virus scanner or an indexer that opened
/// a file just written): worth another try.
bool HeldForAMoment(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

/// Runs attempt until it succeeds, or, while it fails as a held file does, for about two seconds:
/// a scanner lets go within milliseconds, a program that keeps the file open does not.
template <typename Attempt>
bool RetryWhileHeld(Attempt attempt) {
  DWORD delay = 10;
  for (DWORD waited = 0;; waited += delay, delay = delay < 200 ? delay * 2 : delay) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (!HeldForAMoment(error) || waited >= 2000) {
      SetLastError(error);
      return false;
    }
    Sleep(delay);
  }
}

/// One attempt to delete path by a handle on path itself, once that handle is known to be no
/// link's: under Wine, DeleteFileW on a Unix symbolic link deletes what it leads to. A read-only
/// file (the archive asked for it) is deleted once its attribute is cleared.
bool DeleteByHandle(const WString& path) {
  const HANDLE file = CreateFileW(W(path), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD error = win32::kLinkRefused;
  bool deleted = false;
  if (win32::OpenedAsNamed(file, path)) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    const auto dispose = [&] {
      deleted =
          SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
      error = GetLastError();
    };
    dispose();
    FILE_BASIC_INFO basic;
    if (!deleted && error == ERROR_ACCESS_DENIED &&
        GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != FALSE &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
      if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      if (SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE) dispose();
    }
  }
  CloseHandle(file);
  if (!deleted) SetLastError(error);
  return deleted;
}

}  // namespace

bool PathExists(const WString& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const WString& path) {
  const DWORD attributes = GetFileAttributesW(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool FileSizeOf(const WString& path, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(W(path), GetFileExInfoStandard, &data) == FALSE ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

bool MakeDirectory(const WString& path) { return CreateDirectoryW(W(path), nullptr) != FALSE; }

bool RemoveFile(const WString& path) {
  return RetryWhileHeld([&] { return DeleteByHandle(path); });
}

bool RenameFile(const WString& from, const WString& to) {
  // Renames do not follow a link at either name on Windows, but Wine's moves what one at from
  // leads to.
  if (!win32::NoLinkAt(from)) {
    SetLastError(win32::kLinkRefused);
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING an existing target is refused (ERROR_ALREADY_EXISTS), and
  // without MOVEFILE_COPY_ALLOWED a move never becomes a copy. A running program's image can be
  // renamed, though not written.
  return RetryWhileHeld([&] { return MoveFileExW(W(from), W(to), 0) != FALSE; });
}

bool RemoveFolder(const WString& path) { return RemoveDirectoryW(W(path)) != FALSE; }

bool ListFolder(const WString& folder, std::vector<FolderEntry>& entries) {
  WIN32_FIND_DATAW found;
  const HANDLE find =
      FindFirstFileExW(W(folder + u"\\*"), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  entries.clear();
  do {
    const WString name = win32::FromW(found.cFileName, wcsnlen(found.cFileName, MAX_PATH));
    if (name == u"." || name == u"..") continue;
    const bool folder_entry = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                              (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    entries.push_back({name, folder_entry});
  } while (FindNextFileW(find, &found));
  const bool ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return ok;
}

void FlushVolume(const WString& path) {
  // A handle to the volume flushes all of its cached data at once; it takes administrator rights,
  // which the installer has. Without them (or under a system that offers no volume handle) the
  // changes stay with the cache manager, as any program's do.
  // https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-flushfilebuffers
  wchar_t root[MAX_PATH + 1];
  if (GetVolumePathNameW(W(path), root, MAX_PATH + 1) == FALSE) return;
  std::wstring device = root;
  if (device.size() != 3 || device[1] != L':') return;  // a drive letter's root, "C:\"
  device = L"\\\\.\\" + device.substr(0, 2);
  const HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(volume);
  CloseHandle(volume);
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

std::uint32_t FileCreationMask() { return 0; }

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib, std::uint32_t /*creationMask*/) {
  // The bits SetFileAttributesW sets (FILE_ATTRIBUTE_NORMAL is none of them). A file that already
  // has the word's is left alone: a re-installation touches nothing of a file it keeps.
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD current = GetFileAttributesW(W(path));
  if (current != INVALID_FILE_ATTRIBUTES && (current & kSettable) == (attrib & kSettable)) return true;
  return SetFileAttributesW(W(path), attrib) != FALSE;
}

}  // namespace zyv
