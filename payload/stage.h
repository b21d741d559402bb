// The embedded payload and its staging file.
#pragma once

#include <span>

#include "platform/platform.h"

namespace zyv {

/// Writes the embedded archive to path (replacing any file there). 1 when the whole archive was
/// written and the file closed; 0 when the program carries no payload or the file could not be
/// created or written completely.
int StagePayload(const WString& path);

/// The archive embedded in the running program, as it was built in; empty when there is none.
std::span<const unsigned char> EmbeddedPayload();

}  // namespace zyv
