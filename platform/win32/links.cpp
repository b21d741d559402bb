// Links below the install base: each file and folder reached by handle, one name at a time from the
// guarded root, never through a reparse point, and judged by that handle, not by a path looked at
// before.
#include <winternl.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/path_key.h"
#include "platform/threads.h"
#include "platform/upcase.h"
#include "platform/win32/no_follow.h"

namespace zyv {
namespace win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
/// A held folder shares everything but deletion: nobody can rename, move or delete it (which takes
/// delete access to it) while the handle is open, and so no path through it changes meaning.
constexpr ULONG kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

FolderRef Own(HANDLE handle) {
  return FolderRef(handle, [](void* h) { CloseHandle(static_cast<HANDLE>(h)); });
}

/// A handle just opened, closed on every way out of its scope (a refused allocation while it is
/// judged among them) unless released to its next owner.
struct CloseHandleOf {
  void operator()(void* handle) const { CloseHandle(handle); }
};
using Closing = std::unique_ptr<void, CloseHandleOf>;

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
bool NamedAs(HANDLE handle, WString folder, std::u16string_view leaf) {
  const WString actual = FinalName(handle);
  if (actual.empty() || folder.empty()) return true;  // nothing to compare: the attributes decided
  if (folder.back() != u'\\') folder += u'\\';
  return UpcaseNtfs(actual) == UpcaseNtfs(folder + WString(leaf));
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

/// NtCreateFile on name relative to folder. The status's Win32 error is the thread's last error on
/// failure.
HANDLE CreateRelative(HANDLE folder, std::u16string_view name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, ULONG attributes, ULONG_PTR* information = nullptr) {
  UNICODE_STRING unicode;
  unicode.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(name.data()));
  unicode.Length = unicode.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicode, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    SetLastError(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  if (information != nullptr) *information = io.Information;
  return handle;
}

/// The guarded root and the folders held below it, by their identity (PathKey).
struct Guard {
  struct Held {
    FolderRef handle;
    WString final_name;
  };
  Mutex mutex;
  int depth = 0;
  WString root;  // without a closing separator
  std::unordered_map<WString, Held> held;

  /// The held folder that path (a folder) is, reached from the root name by name; false (the reason
  /// as the last error) when a name on the way is a link or missing. Under mutex.
  bool Reach(const WString& path, Held& found) {
    const WString root_key = PathKey(root, PathStyle::kWindows);
    WString at = root;
    Held current = held.at(root_key);
    if (at.back() == u'\\') at.pop_back();  // a drive's root, "X:\"
    std::size_t start = at.size() + 1;
    while (start <= path.size()) {
      std::size_t end = path.find_first_of(u"\\/", start);
      if (end == WString::npos) end = path.size();
      const std::u16string_view name(path.data() + start, end - start);
      start = end + 1;
      if (name.empty()) continue;
      at += u'\\';
      at += name;
      const WString key = PathKey(at, PathStyle::kWindows);
      if (const auto it = held.find(key); it != held.end()) {
        current = it->second;
        continue;
      }
      const HANDLE opened = CreateRelative(current.handle.get(), name, kFolderAccess, kShareHeld, FILE_OPEN,
                                           FILE_DIRECTORY_FILE, 0);
      if (opened == INVALID_HANDLE_VALUE) return false;
      Closing next(opened);
      if ((Attributes(opened) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
          !NamedAs(opened, current.final_name, name)) {
        next.reset();
        SetLastError(kLinkRefused);
        return false;
      }
      const FolderRef owned = Own(next.release());
      current = {owned, FinalName(opened)};
      held.emplace(key, current);
    }
    found = current;
    return true;
  }
};

Guard& TheGuard() {
  static Guard guard;
  return guard;
}

/// Whether folder (no closing separator) lies at or below the guarded root; under the guard's mutex.
bool Guarded(const Guard& guard, const WString& folder) {
  return guard.depth > 0 && PathStartsWith(folder, guard.root, PathStyle::kWindows);
}

}  // namespace

bool PlaceOf(const WString& path, Place& place) {
  WString folder, leaf;
  // A folder named with a closing separator is the folder.
  std::size_t end = path.size();
  while (end > 1 && (path[end - 1] == u'\\' || path[end - 1] == u'/') && path[end - 2] != u':') --end;
  Split(path.substr(0, end), folder, leaf);
  place.leaf.assign(leaf.begin(), leaf.end());
  {
    Guard& guard = TheGuard();
    const std::lock_guard lock(guard.mutex);
    if (Guarded(guard, folder)) {
      Guard::Held held;
      if (!guard.Reach(folder, held)) return false;
      place.folder = held.handle;
      place.folder_name = held.final_name;
      return true;
    }
  }
  const HANDLE handle = CreateFileW(SysPath(folder.empty() ? WString(u".") : folder), kFolderAccess,
                                    kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  place.folder = Own(handle);
  place.folder_name = FinalName(handle);
  return true;
}

HANDLE OpenAt(const Place& place, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
              ULONG attributes, bool* created) {
  ULONG_PTR information = 0;
  const HANDLE handle = CreateRelative(
      place.folder.get(),
      std::u16string_view(reinterpret_cast<const char16_t*>(place.leaf.data()), place.leaf.size()), access,
      share, disposition, options, attributes, &information);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  Closing owned(handle);
  const bool made = information == FILE_CREATED;
  if (created != nullptr) *created = made;
  // What was made now is no link; what was there is judged by its handle.
  if (!made && ((Attributes(handle) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                !NamedAs(handle, place.folder_name,
                         std::u16string_view(reinterpret_cast<const char16_t*>(place.leaf.data()),
                                             place.leaf.size())))) {
    owned.reset();
    SetLastError(kLinkRefused);
    return INVALID_HANDLE_VALUE;
  }
  return owned.release();
}

HANDLE OpenPath(const WString& path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG attributes, bool* created) {
  Place place;
  if (!PlaceOf(path, place)) return INVALID_HANDLE_VALUE;
  return OpenAt(place, access, share, disposition, options, attributes, created);
}

bool RenameOpen(HANDLE handle, const Place& to, bool replace) {
  const std::size_t bytes = to.leaf.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = to.folder.get();
  rename->FileNameLength = static_cast<ULONG>(bytes);
  std::copy(to.leaf.begin(), to.leaf.end(), rename->FileName);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      NtSetInformationFile(handle, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
  if (status < 0) SetLastError(RtlNtStatusToDosError(status));
  return status >= 0;
}

void LetGo(const WString& path) {
  Guard& guard = TheGuard();
  const std::lock_guard lock(guard.mutex);
  if (guard.depth == 0) return;
  for (auto it = guard.held.begin(); it != guard.held.end();) {
    const bool root = it->first == PathKey(guard.root, PathStyle::kWindows);
    it = !root && PathStartsWith(it->first, path, PathStyle::kWindows) ? guard.held.erase(it) : std::next(it);
  }
}

bool NoLinkAt(const WString& path) {
  const HANDLE handle = OpenPath(path, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return true;
  }
  return GetLastError() != kLinkRefused;  // nothing to follow; the operation fails by itself
}

HANDLE CreateForWriting(const WString& path, DWORD share, DWORD attributes) {
  Place place;
  if (!PlaceOf(path, place)) return INVALID_HANDLE_VALUE;
  // An exclusive creation follows no link: what it makes is new.
  HANDLE file = OpenAt(place, GENERIC_WRITE, share, FILE_CREATE, FILE_NON_DIRECTORY_FILE, attributes);
  if (file != INVALID_HANDLE_VALUE) return file;
  if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return file;
  // Something is there: opened as it stands, judged, and only then emptied.
  file = OpenAt(place, GENERIC_WRITE, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE, attributes);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    SetLastError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kLinkRefused : error);
    return file;
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

SysPath::SysPath(const WString& path) {
  const auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  const bool absolute = (path.size() >= 2 && separator(path[0]) && separator(path[1])) ||
                        (path.size() >= 3 && path[1] == u':' && separator(path[2]));
  WString current;
  if (!absolute) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()); n >= buffer.size();
         n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data())) {
      buffer.resize(n + 1);
    }
    current = FromW(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
  }
  path_ = ExtendedLengthPath(path, current);
}

}  // namespace win32

namespace {

/// Looks at path itself (its attributes, its name), whatever it is, without opening its contents.
HANDLE OpenToLookAt(const WString& path) {
  return CreateFileW(win32::SysPath(path), FILE_READ_ATTRIBUTES, win32::kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

/// The final name of folder, opened by its path (following whatever leads to it: the folder's own
/// check is its caller's); empty when it cannot be opened.
WString FolderFinalName(const WString& folder) {
  if (folder.empty()) return {};
  const HANDLE handle = CreateFileW(win32::SysPath(folder), FILE_READ_ATTRIBUTES, win32::kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  const win32::Closing owned(handle);
  return win32::FinalName(handle);
}

/// The first link at path (open as handle, whose folder's final name is folder) or under it.
WString FindLinkFrom(HANDLE handle, const WString& path, const WString& folder, const WString& leaf) {
  const DWORD attributes = win32::Attributes(handle);
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !win32::NamedAs(handle, folder, leaf)) return path;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
  const WString self = win32::FinalName(handle);
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileExW(win32::SysPath(path + u"\\*"), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return {};
  const struct Search {
    HANDLE find;
    ~Search() { FindClose(find); }
  } search{find};
  WString link;
  do {
    const WString name = win32::FromW(found.cFileName, wcsnlen(found.cFileName, MAX_PATH));
    if (name == u"." || name == u"..") continue;
    const WString child = path + u'\\' + name;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      link = child;
    } else if (const HANDLE opened = OpenToLookAt(child); opened != INVALID_HANDLE_VALUE) {
      const win32::Closing owned(opened);
      link = FindLinkFrom(opened, child, self, name);
    }
  } while (link.empty() && FindNextFileW(find, &found));
  return link;
}

}  // namespace

WString FindRefusedLink(const WString& path) {
  const HANDLE handle = OpenToLookAt(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  const win32::Closing owned(handle);
  WString folder, leaf;
  win32::Split(path, folder, leaf);
  return FindLinkFrom(handle, path, FolderFinalName(folder), leaf);
}

LinkGuard::LinkGuard(const WString& root) {
  win32::Guard& guard = win32::TheGuard();
  const std::lock_guard lock(guard.mutex);
  if (guard.depth > 0) {
    // One root at a time: a guard inside another guards nothing more (and a second root nothing).
    active_ = SamePath(root, guard.root, PathStyle::kWindows);
    if (active_) ++guard.depth;
    return;
  }
  WString folder = root;
  while (folder.size() > 3 && (folder.back() == u'\\' || folder.back() == u'/')) folder.pop_back();
  // The root itself may be a link (a redirected Local Application Data): it is followed. It need not
  // be held: every walk starts from this handle, which stays on the folder it was opened on.
  const HANDLE handle = CreateFileW(win32::SysPath(folder), win32::kFolderAccess, win32::kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  const win32::FolderRef owned = win32::Own(handle);
  guard.root = folder;
  guard.held.clear();
  guard.held.emplace(PathKey(folder, PathStyle::kWindows), win32::Guard::Held{owned, win32::FinalName(handle)});
  guard.depth = 1;
  active_ = true;
}

LinkGuard::~LinkGuard() {
  if (!active_) return;
  win32::Guard& guard = win32::TheGuard();
  const std::lock_guard lock(guard.mutex);
  if (--guard.depth == 0) guard.held.clear();
}

HeldFolder::HeldFolder(const WString& path) {
  win32::Place place;
  bool guarded = false;
  {
    win32::Guard& guard = win32::TheGuard();
    const std::lock_guard lock(guard.mutex);
    guarded = win32::Guarded(guard, path);
  }
  if (guarded) {
    // Reached, and held, as the folder of a name inside it is.
    if (win32::PlaceOf(path + u"\\-", place)) {
      folder_ = place.folder;
      state_ = State::kHeld;
    } else if (GetLastError() == win32::kLinkRefused) {
      state_ = State::kLink;
    }
    return;
  }
  // Listing access without delete sharing: nobody can rename, move or delete the folder (which
  // needs delete access to it) while this handle is open.
  const HANDLE folder =
      CreateFileW(win32::SysPath(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, win32::kShareHeld,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    // Held open by someone with delete access, say: looked at all the same, only not held.
    if (!win32::NoLinkAt(path)) state_ = State::kLink;
    return;
  }
  win32::Closing owned(folder);
  WString parent, leaf;
  win32::Split(path, parent, leaf);
  if ((win32::Attributes(folder) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !win32::NamedAs(folder, FolderFinalName(parent), leaf)) {
    state_ = State::kLink;
  } else if ((win32::Attributes(folder) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    folder_ = win32::Own(owned.release());
    state_ = State::kHeld;
  }
}

HeldFolder::~HeldFolder() = default;

int LinkRefusedError() { return static_cast<int>(win32::kLinkRefused); }

}  // namespace zyv
