// The parts of the extractor that the archive check (archive_check.cpp) reads archives with, so
// that it opens and decodes them exactly as the installer does.
#pragma once

#include <7z.h>

#include <cstddef>

#include "platform/platform.h"

namespace zyv {

/// The extractor's allocators: both refuse blocks over ExtractorMaxAllocation(); the main one
/// hands out zeroed memory.
ISzAlloc* ExtractorAlloc();
ISzAlloc* ExtractorTempAlloc();

/// The largest block the decoder may allocate, and so the largest folder it can unpack.
std::size_t ExtractorMaxAllocation();

/// SzArEx_Open with the extractor's header check: SZ_ERROR_ARCHIVE for a header 7-Zip would not write.
SRes OpenArchiveDatabase(CSzArEx* db, ILookInStream* stream);

/// Whether the extractor accepts name (an entry's path, "/"-separated) as landing inside its destination.
bool EntryNameIsSafe(const WString& name);

}  // namespace zyv
