// Unpacking a 7z archive file into a folder tree.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace zyv {

/// Unpacks archive into destination (a separator is appended when missing). Files whose path
/// contains a keep-list string and that already exist are left alone. Returns 0, or the first
/// failure: 1 archive not opened, 2 out of memory for a name, 11 output file not written,
/// 16 an entry without a name or whose name would land outside the destination (absolute, drive,
/// "..", and on Windows any colon), or the decoder's own code. Entries before the failing one stay.
int ExtractArchive(const WString& destination, const WString& archive, std::vector<WString> keep);

/// Creates every folder of path, shortest first; true when the deepest creation succeeded.
bool CreateDirectoryChain(const WString& path);

}  // namespace zyv
