// Small files read and written whole: the installer's own records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/file_write.h"
#include "platform/posix/posix_internal.h"

namespace zyv {

bool ReadWholeFile(const WString& path, std::string& bytes) {
  std::string native;
  if (!posix::NativePath(path, native)) return false;
  // O_NONBLOCK: a FIFO at the path must not hang the installer.
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bytes.clear();
  char buffer[16384];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (ok) bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

bool WriteFileReplacing(const WString& path, std::string_view bytes) {
  std::string native;
  return posix::NativePath(path, native) && posix::WriteReplacing(native, native + ".writing", bytes, 0644);
}

}  // namespace zyv
