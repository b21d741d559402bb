// Creating the staging file, one implementation per system (win32/, posix/).
#pragma once

#include <span>

#include "platform/platform.h"

namespace zyv {

/// Creates path afresh, unshared and marked temporary where the system knows these, and writes
/// bytes to it. True when every byte was written and the file closed. Nothing is written through a
/// link at path: POSIX empties a plain file of one name, and removes anything else (a link, another
/// name of someone's file) and creates a new file in its place; Windows replaces an existing file's contents
/// but fails on a link (ERROR_REPARSE_POINT_ENCOUNTERED), and writes nothing through it.
bool WriteStagingFile(const WString& path, std::span<const unsigned char> bytes);

/// Hands the memory holding bytes, a read-only part of the program's own image, back to the system
/// once they have been written out. They stay readable (touched again, they are read back from the
/// program file), but the staged archive no longer adds to the process's memory while extraction
/// holds a decoded folder.
void ReleaseImagePages(std::span<const unsigned char> bytes);

}  // namespace zyv
