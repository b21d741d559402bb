// Memory advice for the decoder's large blocks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

namespace zyv {

void PreferLargePages(void* block, std::size_t size) {
#ifdef MADV_HUGEPAGE
  // Transparent huge pages are often given only to ranges that ask (the "madvise" setting). The
  // advice needs page-aligned bounds, so it covers the whole pages inside the block; the kernel
  // then uses a huge page for every aligned 2 MiB stretch of them.
  const long page = sysconf(_SC_PAGESIZE);
  if (block == nullptr || page <= 0) return;
  const auto mask = static_cast<std::uintptr_t>(page) - 1;
  const auto begin = (reinterpret_cast<std::uintptr_t>(block) + mask) & ~mask;
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~mask;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace zyv
