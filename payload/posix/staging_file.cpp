// POSIX: the staging file is private to the user (0600) while it exists; POSIX has no sharing
// modes or temporary attribute to ask for.
#include "payload/staging_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/file_write.h"
#include "platform/text.h"

namespace zyv {

bool WriteStagingFile(const WString& path, std::span<const unsigned char> bytes) {
  const std::string native = Utf16ToUtf8(path);
  // Never written through what is at the name: a plain file of one name is emptied, while a link
  // planted there (O_NOFOLLOW refuses it), a second name of someone's file or anything else is
  // removed, not followed, and a new file made in its place. Non-blocking, so that a pipe there
  // cannot hold the open up.
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
    if (ftruncate(fd, 0) != 0) {
      close(fd);
      return false;
    }
  } else {
    if (fd >= 0) close(fd);
    if (unlink(native.c_str()) != 0 && errno != ENOENT) return false;  // a folder, say: it stays
    fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
  }
  const bool written =
      posix::WriteAll(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  const bool closed = close(fd) == 0;
  return closed && written;
}

void ReleaseImagePages(std::span<const unsigned char> bytes) {
  // Only the pages wholly inside bytes: the others hold other data too. Pages of a private file
  // mapping that were never written are simply mapped again from the file when next touched.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t last = (start + bytes.size()) & ~(page - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace zyv
