// Libraries are found through the dynamic linker's fixed paths here, never the program's folder.
#include "platform/platform.h"

namespace zyv {

bool HardenDllSearch() { return true; }

}  // namespace zyv
