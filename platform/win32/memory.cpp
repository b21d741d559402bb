// Memory advice for the decoder's large blocks.
#include "platform/platform.h"

namespace zyv {

// Large pages on Windows need the "Lock pages in memory" privilege, which an ordinary account (and
// an elevated installer) does not hold, and must be asked for when the block is reserved. The heap
// already takes a block this large straight from VirtualAlloc, so there is nothing to add here.
void PreferLargePages(void*, std::size_t) {}

}  // namespace zyv
