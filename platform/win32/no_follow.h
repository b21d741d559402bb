// Reaching what lies below the install base without following a link: the Windows side of the
// link policy in platform.h (LinkGuard), for the other Win32 files (the file operations, the
// extraction's and the staging file's writers, the records).
//
// Every operation on a path is made in two steps: the folder that holds it is reached as a handle
// (Place), then the last name is opened relative to that handle with NtCreateFile, never through a
// reparse point, and judged by what was opened. Below the guarded root the folder's handle was
// itself reached from the root one name at a time, the same way, and is held (delete not shared)
// until the guard ends: no folder on the way can be renamed, or swapped for a junction, between the
// check and the use, whenever that happens. Elsewhere (no guard, or a path outside it: the desktop,
// a test's folder) the folder is opened by its path, as the system resolves it.
#pragma once

#include <memory>
#include <string>

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <winternl.h>

namespace zyv::win32 {

/// ERROR_REPARSE_POINT_ENCOUNTERED, which mingw-w64's headers lack: what an operation that met a link
/// it does not follow fails with.
inline constexpr DWORD kLinkRefused = 4395;

/// An open folder, shared by the operations in it and closed by the last of them.
using FolderRef = std::shared_ptr<void>;

/// Where an operation on a path happens: the folder that holds it, and its last name.
struct Place {
  FolderRef folder;
  std::wstring leaf;
  WString folder_name;  ///< the folder's final name (\Device\...), empty when the system gave none
};

/// The place of path. False, with the reason as the thread's last error, when its folder cannot
/// be reached: missing (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND), a file on the way
/// (ERROR_DIRECTORY), or a link on the way below the guarded root (kLinkRefused).
bool PlaceOf(const WString& path, Place& place);

/// Opens place's last name relative to its folder: access (SYNCHRONIZE is added), share, disposition
/// (FILE_OPEN, FILE_CREATE, ...) and options (FILE_DIRECTORY_FILE, ...) as NtCreateFile takes them;
/// attributes for a file it creates. Never through a link: a reparse point there is refused, and so
/// is an existing name whose handle the system names otherwise (how Wine shows a Unix symbolic link,
/// which it follows whatever the flags ask). INVALID_HANDLE_VALUE on failure, with the reason as the
/// thread's last error (kLinkRefused for a link); created, when given, says whether it was made new.
HANDLE OpenAt(const Place& place, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
              ULONG attributes = FILE_ATTRIBUTE_NORMAL, bool* created = nullptr);

/// OpenAt with path's place.
HANDLE OpenPath(const WString& path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG attributes = FILE_ATTRIBUTE_NORMAL, bool* created = nullptr);

/// Gives what handle is open on (opened with DELETE) the name to's place names, in to's folder,
/// replacing what is there only with replace. False with the reason as the thread's last error.
bool RenameOpen(HANDLE handle, const Place& to, bool replace);

/// Lets go of the held handles of path's folder and of every folder under it: the installer is
/// about to rename or remove it.
void LetGo(const WString& path);

/// Whether no link is at path: nothing there, or what is there opened as named. Changes the
/// thread's last error.
bool NoLinkAt(const WString& path);

/// Creates path, or opens the file there and empties it, for writing with share and attributes
/// (FILE_ATTRIBUTE_*), as CREATE_ALWAYS does, but never through a link at path or on the way to it
/// below the guarded root: one there (or a name that is there for an exclusive creation yet cannot
/// be opened, a link leading nowhere) fails with kLinkRefused, and nothing it leads to is truncated.
/// INVALID_HANDLE_VALUE on failure, with the reason as the thread's last error.
HANDLE CreateForWriting(const WString& path, DWORD share, DWORD attributes);

}  // namespace zyv::win32
