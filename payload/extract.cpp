#include "payload/extract.h"

namespace zyv {

int ExtractArchive(const WString&, const WString&, std::vector<WString>) { return 1; }
bool CreateDirectoryChain(const WString&) { return false; }

}  // namespace zyv
