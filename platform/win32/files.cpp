// Files and directories: existence, creation, removal, renames and attributes.
#include <string>
#include <vector>

#include "platform/win32/no_follow.h"

namespace zyv {

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

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Deletes what handle is open on (with DELETE and the attribute rights). A read-only file (the
/// archive asked for it) is deleted once its attribute is cleared.
bool Dispose(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  const auto dispose = [&] {
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
  };
  if (dispose()) return true;
  const DWORD error = GetLastError();
  FILE_BASIC_INFO basic;
  if (error == ERROR_ACCESS_DENIED &&
      GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) && dispose()) return true;
  }
  SetLastError(error);
  return false;
}

/// One attempt to delete path (options: FILE_NON_DIRECTORY_FILE or FILE_DIRECTORY_FILE) by a
/// handle on path itself, opened where it is without following a link: under Wine, DeleteFileW on
/// a Unix symbolic link deletes what it leads to.
bool DeleteAt(const WString& path, ULONG options) {
  const HANDLE handle = win32::OpenPath(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        kShareAll, FILE_OPEN, options);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool deleted = Dispose(handle);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return deleted;
}

/// One attempt to give what is at from (file or folder) the name to, replacing what is there only
/// with replace; with flush, written through to the disk before it returns.
bool RenameAt(const WString& from, const WString& to, bool replace, bool flush) {
  // Its handles, and those of the folders under it, are let go first: a held folder cannot be
  // renamed, not even by the installer itself.
  win32::LetGo(from);
  win32::Place target;
  if (!win32::PlaceOf(to, target)) return false;
  const HANDLE handle = win32::OpenPath(from, DELETE | FILE_READ_ATTRIBUTES | (flush ? GENERIC_WRITE : 0),
                                        kShareAll, FILE_OPEN, 0);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool renamed = win32::RenameOpen(handle, target, replace);
  const DWORD error = GetLastError();
  if (renamed && flush) FlushFileBuffers(handle);  // moved whatever the flush says
  CloseHandle(handle);
  SetLastError(error);
  return renamed;
}

}  // namespace

bool PathExists(const WString& path) {
  return GetFileAttributesW(win32::SysPath(path)) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const WString& path) {
  const DWORD attributes = GetFileAttributesW(win32::SysPath(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool FileSizeOf(const WString& path, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(win32::SysPath(path), GetFileExInfoStandard, &data) == FALSE ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

bool MakeDirectory(const WString& path) {
  const HANDLE folder =
      win32::OpenPath(path, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE);
  if (folder == INVALID_HANDLE_VALUE) return false;
  CloseHandle(folder);
  return true;
}

bool RemoveFile(const WString& path) {
  return RetryWhileHeld([&] { return DeleteAt(path, FILE_NON_DIRECTORY_FILE); });
}

bool RenameFile(const WString& from, const WString& to) {
  // Never over an existing target (ERROR_ALREADY_EXISTS), never a copy: the same volume's rename of
  // what is at from itself, a link refused. A running program's image can be renamed, though not
  // written.
  return RetryWhileHeld([&] { return RenameAt(from, to, false, false); });
}

bool RemoveFolder(const WString& path) {
  win32::LetGo(path);
  return DeleteAt(path, FILE_DIRECTORY_FILE);
}

bool ListFolder(const WString& folder, std::vector<FolderEntry>& entries) {
  // Listed by a handle on the folder itself, reached as every operation's is: never a link's target.
  const HANDLE handle =
      win32::OpenPath(folder, FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
  if (handle == INVALID_HANDLE_VALUE) return false;
  entries.clear();
  alignas(LONGLONG) unsigned char buffer[64 * 1024];
  bool ok = true;
  for (FILE_INFO_BY_HANDLE_CLASS what = FileFullDirectoryRestartInfo;; what = FileFullDirectoryInfo) {
    if (!GetFileInformationByHandleEx(handle, what, buffer, sizeof buffer)) {
      ok = GetLastError() == ERROR_NO_MORE_FILES;
      break;
    }
    for (auto* e = reinterpret_cast<FILE_FULL_DIR_INFO*>(buffer);;
         e = reinterpret_cast<FILE_FULL_DIR_INFO*>(reinterpret_cast<unsigned char*>(e) +
                                                   e->NextEntryOffset)) {
      const WString name = win32::FromW(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name != u"." && name != u"..") {
        const bool folder_entry = (e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                  (e->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        entries.push_back({name, folder_entry});
      }
      if (e->NextEntryOffset == 0) break;
    }
  }
  CloseHandle(handle);
  return ok;
}

void FlushVolume(const WString& path) {
  // A handle to the volume flushes all of its cached data at once; it takes administrator rights,
  // which the installer has. Without them (or under a system that offers no volume handle) the
  // changes stay with the cache manager, as any program's do.
  // https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-flushfilebuffers
  wchar_t root[MAX_PATH + 1];
  if (GetVolumePathNameW(win32::SysPath(path), root, MAX_PATH + 1) == FALSE) return;
  std::wstring device = root;
  if (device.starts_with(L"\\\\?\\")) device.erase(0, 4);  // asked in the long form, answered in it
  if (device.size() != 3 || device[1] != L':') return;     // a drive letter's root, "C:\"
  device = L"\\\\.\\" + device.substr(0, 2);
  const HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(volume);
  CloseHandle(volume);
}

bool ReplaceFileAtomically(const WString& from, const WString& to) {
  return RetryWhileHeld([&] { return RenameAt(from, to, true, true); });
}

std::uint32_t FileCreationMask() { return 0; }

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib, std::uint32_t /*creationMask*/) {
  // The bits a program may set (FILE_ATTRIBUTE_NORMAL is none of them), as SetFileAttributesW takes
  // them from the word; a file that already has the word's is left alone: a re-installation
  // touches nothing of a file it keeps.
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const HANDLE file =
      win32::OpenPath(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic;
  bool ok = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  if (ok && (basic.FileAttributes & kSettable) != (attrib & kSettable)) {
    basic = {};  // zero times: left as they are
    basic.FileAttributes = attrib & kSettable;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ok = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return ok;
}

}  // namespace zyv
