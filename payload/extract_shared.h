// The parts of the extractor that the archive check (archive_check.cpp) reads archives with, so
// that it opens and decodes them exactly as the installer does.
#pragma once

#include "platform/platform.h"

namespace zyv {

/// Whether the extractor accepts name (an entry's path, "/"-separated) as landing inside its destination.
bool EntryNameIsSafe(const WString& name);

}  // namespace zyv
