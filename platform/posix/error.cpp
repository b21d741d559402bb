// POSIX: the system's errors are errno values.
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/platform.h"
#include "platform/text.h"

namespace zyv {

int LastSystemError() { return errno; }

WString SystemErrorText(int error) {
  // The GNU strerror_r may return a static string instead of filling buf; the XSI one fills it.
  char buf[256] = {};
  const auto text = strerror_r(error, buf, sizeof buf);
  if constexpr (std::is_same_v<decltype(text), const int>) {
    return Utf8ToUtf16(buf);
  } else {
    return Utf8ToUtf16(text);
  }
}

}  // namespace zyv
