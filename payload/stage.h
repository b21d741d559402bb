// The embedded payload and its staging file.
#pragma once

#include <span>

#include "platform/platform.h"

namespace zyv {

/// StagePayload's results: note that 1 means success here, unlike ExtractArchive's codes.
inline constexpr int kPayloadStaged = 1;
inline constexpr int kPayloadNotStaged = 0;

/// Writes the embedded archive to path (replacing any file there). kPayloadStaged when the whole
/// archive was written and the file closed; kPayloadNotStaged when the program carries no payload
/// or the file could not be created or written completely.
int StagePayload(const WString& path);

/// The archive embedded in the running program, as it was built in; empty when there is none.
std::span<const unsigned char> EmbeddedPayload();

}  // namespace zyv
