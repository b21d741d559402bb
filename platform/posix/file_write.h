// Writing files on POSIX, for the per-system code of every folder (settings, launcher, staging file).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace zyv::posix {

/// Writes all of bytes to fd, going on after short and interrupted writes. False when a write fails
/// or moves nothing (a full disk).
bool WriteAll(int fd, std::string_view bytes);

/// Replaces the file at path with one holding bytes and permission bits mode (not narrowed by the
/// umask). The bytes go to temp, a file beside path, opened without following a link and private
/// (0600) until complete; it is flushed and renamed over path, and the folder flushed after it. A
/// reader sees the old file or the whole new one, and a failure leaves the old one as it was. temp
/// is a fixed name, so that one left by a writer killed before its rename is taken over (and so
/// disappears) at the next write rather than staying beside the file.
bool WriteReplacing(const std::string& path, const std::string& temp, std::string_view bytes, mode_t mode);

}  // namespace zyv::posix
