// The embedded payload and its staging file.
#pragma once

#include "platform/platform.h"

namespace zyv {

/// Writes the embedded archive to path (replacing any file there). 1 when written, else 0.
int StagePayload(const WString& path);

}  // namespace zyv
