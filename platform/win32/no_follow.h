// Opening what lies below the install base without following a link: the Windows side of the
// link policy in platform.h, for the other Win32 files (the extraction's and the staging file's
// writers, the shortcut).
#pragma once

#include "platform/win32/wide.h"

namespace zyv::win32 {

/// ERROR_REPARSE_POINT_ENCOUNTERED, which mingw-w64's headers lack: what an operation that met a link
/// it does not follow fails with.
inline constexpr DWORD kLinkRefused = 4395;

/// Whether handle, opened on path with FILE_FLAG_OPEN_REPARSE_POINT, is path itself and not what a
/// link there leads to: no reparse point, and the system's name for the handle is its folder's
/// followed by path's last name. The name matters under Wine, which opens a Unix symbolic link's
/// target whatever the flags ask and shows no reparse point on the handle. Only path's last name is
/// judged: its folder is checked by its own handle (HeldFolder). Where the system gives no name,
/// the attributes decide. Changes the thread's last error.
bool OpenedAsNamed(HANDLE handle, const WString& path);

/// Whether no link is at path: nothing there, or what is there opened as named. Changes the
/// thread's last error.
bool NoLinkAt(const WString& path);

/// Creates path, or opens the file there and empties it, for writing with share and attributes
/// (FILE_ATTRIBUTE_*), as CREATE_ALWAYS does, but never through a link at path: one there (or a
/// name that is there for an exclusive creation yet cannot be opened, a link leading nowhere) fails
/// with ERROR_REPARSE_POINT_ENCOUNTERED, and nothing it leads to is truncated. INVALID_HANDLE_VALUE
/// on failure, with the reason as the thread's last error.
HANDLE CreateForWriting(const WString& path, DWORD share, DWORD attributes);

}  // namespace zyv::win32
