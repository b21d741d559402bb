// POSIX: the staging file is private to the user (0600) while it exists; POSIX has no sharing
// modes or temporary attribute to ask for.
#include "payload/staging_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"

namespace zyv {

bool WriteStagingFile(const WString& path, std::span<const unsigned char> bytes) {
  const int fd = open(Utf16ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // write() may move fewer bytes than asked (a signal, a full disk): go on until all are written
  // or a write moves nothing.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool closed = close(fd) == 0;
  return closed && done == bytes.size();
}

}  // namespace zyv
