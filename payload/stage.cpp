#include "payload/stage.h"

#include "payload/staging_file.h"

namespace zyv {

int StagePayload(const WString& path) {
  const std::span<const unsigned char> payload = EmbeddedPayload();
  // Without a payload there is nothing to stage; an empty staging file would only be mistaken
  // for a damaged archive.
  if (payload.empty()) return kPayloadNotStaged;
  const bool staged = WriteStagingFile(path, payload);
  ReleaseImagePages(payload);
  return staged ? kPayloadStaged : kPayloadNotStaged;
}

}  // namespace zyv
