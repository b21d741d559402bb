// POSIX: the system's errors are errno values.
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
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

int DiskFullError() { return ENOSPC; }

ErrorKind ClassifySystemError(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ErrorKind::kDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kAccessDenied;
    case ETXTBSY:
    case EBUSY:
      return ErrorKind::kInUse;
    case ENOMEM:
      return ErrorKind::kOutOfMemory;
    default:
      return ErrorKind::kOther;
  }
}

std::uint64_t FreeDiskSpace(const WString& path) {
  std::string native;
  struct statvfs st;
  if (!posix::NativePath(path, native) || statvfs(native.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace zyv
