// Links below the install base: each file and folder opened on its own name, never through a
// reparse point, and judged by that handle, not by a path looked at before.
#include <vector>

#include "platform/upcase.h"
#include "platform/win32/no_follow.h"

namespace zyv {
namespace win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Looks at path itself (its attributes, its name), whatever it is, without opening its contents.
HANDLE OpenToLookAt(const WString& path) {
  return CreateFileW(W(path), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

DWORD Attributes(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ? tag.FileAttributes
                                                                                      : 0;
}

/// The system's name for what handle is open on, every link on the way resolved
/// (\Device\HarddiskVolume2\Users\...); empty when it gives none.
WString FinalName(HANDLE handle) {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
    if (n == 0) return {};
    if (n < name.size()) return FromW(name.data(), n);
    name.resize(n + 1);
  }
}

/// Whether handle's name is folder's (a final name) followed by leaf, as NTFS compares names.
bool NamedAs(HANDLE handle, WString folder, const WString& leaf) {
  const WString actual = FinalName(handle);
  if (actual.empty() || folder.empty()) return true;  // nothing to compare: the attributes decided
  if (folder.back() != u'\\') folder += u'\\';
  return UpcaseNtfs(actual) == UpcaseNtfs(folder + leaf);
}

/// The first link at path (open as handle, whose folder's final name is folder) or under it.
WString FindLinkFrom(HANDLE handle, const WString& path, const WString& folder, const WString& leaf) {
  const DWORD attributes = Attributes(handle);
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !NamedAs(handle, folder, leaf)) return path;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
  const WString self = FinalName(handle);
  WIN32_FIND_DATAW found;
  const HANDLE find =
      FindFirstFileExW(W(path + u"\\*"), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return {};
  WString link;
  do {
    const WString name = FromW(found.cFileName, wcsnlen(found.cFileName, MAX_PATH));
    if (name == u"." || name == u"..") continue;
    const WString child = path + u'\\' + name;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      link = child;
    } else if (const HANDLE opened = OpenToLookAt(child); opened != INVALID_HANDLE_VALUE) {
      link = FindLinkFrom(opened, child, self, name);
      CloseHandle(opened);
    }
  } while (link.empty() && FindNextFileW(find, &found));
  FindClose(find);
  return link;
}

/// path's folder and last name; the folder of "C:\x" is "C:\".
void Split(const WString& path, WString& folder, WString& leaf) {
  const std::size_t cut = path.find_last_of(u"\\/");
  if (cut == WString::npos) {
    folder.clear();
    leaf = path;
    return;
  }
  folder = path.substr(0, cut);
  if (folder.empty() || folder.back() == u':') folder += u'\\';
  leaf = path.substr(cut + 1);
}

/// The final name of folder, opened by its path (following whatever leads to it: the folder's own
/// check is its caller's); empty when it cannot be opened.
WString FolderFinalName(const WString& folder) {
  if (folder.empty()) return {};
  const HANDLE handle = CreateFileW(W(folder), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  WString name = FinalName(handle);
  CloseHandle(handle);
  return name;
}

}  // namespace

bool OpenedAsNamed(HANDLE handle, const WString& path) {
  if ((Attributes(handle) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  WString folder, leaf;
  Split(path, folder, leaf);
  return NamedAs(handle, FolderFinalName(folder), leaf);
}

bool NoLinkAt(const WString& path) {
  const HANDLE handle = OpenToLookAt(path);
  if (handle == INVALID_HANDLE_VALUE) return true;  // nothing to follow; the operation fails by itself
  const bool plain = OpenedAsNamed(handle, path);
  CloseHandle(handle);
  return plain;
}

HANDLE CreateForWriting(const WString& path, DWORD share, DWORD attributes) {
  const DWORD flags = attributes | FILE_FLAG_OPEN_REPARSE_POINT;
  // An exclusive creation follows no link: what it makes is new.
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, share, nullptr, CREATE_NEW, flags, nullptr);
  if (file != INVALID_HANDLE_VALUE) return file;
  if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return file;
  // Something is there: opened as it stands, judged, and only then emptied.
  file = CreateFileW(W(path), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    SetLastError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kLinkRefused : error);
    return file;
  }
  if (!OpenedAsNamed(file, path)) {
    CloseHandle(file);
    SetLastError(kLinkRefused);
    return INVALID_HANDLE_VALUE;
  }
  if (!SetEndOfFile(file)) {
    const DWORD error = GetLastError();  // ERROR_USER_MAPPED_FILE for a running program's image
    CloseHandle(file);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // The new attributes, as CREATE_ALWAYS gives them; zero times stay as they are.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes & 0xFFFF;
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  SetLastError(ERROR_SUCCESS);
  return file;
}

}  // namespace win32

WString FindRefusedLink(const WString& path) {
  const HANDLE handle = win32::OpenToLookAt(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  WString folder, leaf;
  win32::Split(path, folder, leaf);
  WString link = win32::FindLinkFrom(handle, path, win32::FolderFinalName(folder), leaf);
  CloseHandle(handle);
  return link;
}

HeldFolder::HeldFolder(const WString& path) {
  // Listing access without delete sharing: nobody can rename, move or delete the folder (which
  // needs delete access to it) while this handle is open.
  const HANDLE folder = CreateFileW(win32::W(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    // Held open by someone with delete access, say: looked at all the same, only not held.
    if (!win32::NoLinkAt(path)) state_ = State::kLink;
    return;
  }
  if (!win32::OpenedAsNamed(folder, path)) {
    state_ = State::kLink;
  } else if ((win32::Attributes(folder) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    handle_ = reinterpret_cast<std::intptr_t>(folder);
    state_ = State::kHeld;
    return;
  }
  CloseHandle(folder);
}

HeldFolder::~HeldFolder() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int LinkRefusedError() { return static_cast<int>(win32::kLinkRefused); }

}  // namespace zyv
