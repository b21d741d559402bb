// The running program's own path.
#include <vector>

#include "platform/win32/wide.h"

namespace zyv {

WString ModuleFileName() {
  // A path longer than MAX_PATH comes back truncated, with the full buffer's length: grow and ask
  // again, up to the longest path the system has.
  for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) return win32::FromW(buffer.data(), length);
  }
  return {};
}

}  // namespace zyv
