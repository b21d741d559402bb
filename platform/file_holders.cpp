// Which programs an update may ask to close: a decision on what the system lists, made the same on
// every host so that it is tested with the list as data.
#include <algorithm>

#include "platform/platform.h"

namespace zyv {

bool MayAskToClose(const std::vector<FileHolder>& holders, const WString& folder, PathStyle style) {
  return std::all_of(holders.begin(), holders.end(), [&](const FileHolder& h) {
    const bool program = h.kind == FileHolder::Kind::kWindowed || h.kind == FileHolder::Kind::kConsole;
    return program && !h.image.empty() && !folder.empty() && PathStartsWith(h.image, folder, style) &&
           !SamePath(h.image, folder, style);
  });
}

}  // namespace zyv
