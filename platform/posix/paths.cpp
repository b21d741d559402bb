// The running program's own path.
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/text.h"

namespace zyv {

WString ModuleFileName() {
  // readlink does not say whether it truncated, so grow the buffer until the answer fits.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return Utf8ToUtf16(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace zyv
