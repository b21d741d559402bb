// Opening the files the extractor reads and writes, one implementation per system (win32/, posix/).
#pragma once

#include <7zFile.h>

#include "platform/platform.h"

namespace zyv {

/// Opens an existing archive for reading, others may read it too. False (file left closed) when
/// it cannot be opened or is not a file.
bool OpenArchiveFile(CSzFile* file, const WString& path);

/// Creates or truncates an output file for writing, as the archive's entry replaces whatever was
/// there. Links are never created. POSIX follows a link at path; Windows does not (nothing is
/// written through it: LinkRefusedError()). False (file left closed) on failure.
bool CreateOutputFile(CSzFile* file, const WString& path);

/// Opens an existing file for reading, for comparing it with an entry: a regular file only, never
/// through a link or any other reparse point. False (file left closed) otherwise; size receives its
/// length.
bool OpenInstalledFile(CSzFile* file, const WString& path, UInt64& size);

}  // namespace zyv
