// Helpers shared by the POSIX implementation files (and their tests); not part of the platform
// interface.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

namespace zyv::posix {

/// The path as the kernel takes it (UTF-8). False for a path with a NUL in it, which the kernel
/// would silently cut short into another path.
bool NativePath(const WString& path, std::string& out);

/// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string ParentFolder(const std::string& path);

/// The process's file-creation mask, read without changing it.
mode_t CurrentUmask();

/// rename(2) over an existing target, made durable: the source's data is flushed before the
/// rename and the folders' entries after it. False when the rename did not happen.
bool ReplaceDurably(const std::string& from, const std::string& to);

}  // namespace zyv::posix
