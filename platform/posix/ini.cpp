// Settings files: one key set the way the Windows profile writer sets it, every other byte kept.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ini_text.h"
#include "platform/platform.h"
#include "platform/posix/file_write.h"
#include "platform/posix/posix_internal.h"
#include "platform/text.h"

namespace zyv {
namespace {

/// The file's bytes and permission bits; exists is false (and the answer true) when there is no
/// file yet. Anything but a regular file is refused, without blocking on a FIFO.
bool ReadWhole(const std::string& path, std::string& out, bool& exists, mode_t& mode) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  exists = fd >= 0;
  if (!exists) return errno == ENOENT;
  struct stat st;
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 0777;
    char buffer[16384];
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return n == 0;
}

}  // namespace

bool WriteIniValue(const WString& section, const WString& key, const WString& value, const WString& file) {
  std::string path;
  if (!posix::NativePath(file, path)) return false;

  // Through a link, the file it leads to is the one to change; the link stays.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return false;
    path = resolved;
  }

  // A new file gets the mode any new file would; an existing one keeps its own.
  std::string bytes;
  bool exists = false;
  mode_t mode = 0666 & ~posix::CurrentUmask();
  if (!ReadWhole(path, bytes, exists, mode)) return false;
  // Text without a byte-order mark is UTF-8 here.
  if (!SetIniValue(bytes, section, key, value, [](std::u16string_view s) { return Utf16ToUtf8(s); }))
    return false;
  return posix::WriteReplacing(path, path + ".writing", bytes, mode);
}

}  // namespace zyv
