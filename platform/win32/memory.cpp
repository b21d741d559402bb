// Memory advice for the decoder's large blocks.
#include "platform/platform.h"

namespace zyv {

// Large pages on Windows must be asked for when the memory is reserved (VirtualAlloc with
// MEM_LARGE_PAGES) and need the "Lock pages in memory" privilege, which an ordinary account, elevated
// or not, does not hold. There is no advice to give a block that already exists.
void PreferLargePages(void*, std::size_t) {}

}  // namespace zyv
