// POSIX: the SDK's CSzFile holds a stdio stream here; it is opened from a descriptor so that the
// access matches the Windows build (write-only output, no directory taken for an archive). The
// streams are unbuffered, as the Windows handles are: the archive is read through the SDK's own
// 16 KiB look-to-read buffer and each output file is written whole from the decoded block, so a
// stdio buffer would only add a copy, its allocation and a system call per file.
#include "payload/archive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace zyv {
namespace {

bool Attach(CSzFile* file, int fd, const char* mode) {
  if (fd < 0) return false;
  file->file = fdopen(fd, mode);
  if (file->file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  setvbuf(file->file, nullptr, _IONBF, 0);
  return true;
}

}  // namespace

bool OpenArchiveFile(CSzFile* file, const WString& path) {
  std::string native;
  if (!posix::NativePath(path, native)) {
    errno = EINVAL;
    return false;
  }
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  // CreateFileW refuses a directory; reading one here would only fail later with a read error.
  if (fd >= 0 && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    const int error = fstat(fd, &st) != 0 ? errno : EISDIR;
    close(fd);
    errno = error;
    return false;
  }
  return Attach(file, fd, "rb");
}

bool OpenInstalledFile(CSzFile* file, const WString& path, UInt64& size) {
  std::string native;
  if (!posix::NativePath(path, native)) return false;
  // O_NOFOLLOW: a link is never what an entry left in place; O_NONBLOCK: nor is a FIFO.
  const int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return false;
  }
  if (fd >= 0) size = static_cast<UInt64>(st.st_size);
  return Attach(file, fd, "rb");
}

bool CreateOutputFile(CSzFile* file, const WString& path) {
  std::string native;
  if (!posix::NativePath(path, native)) {
    errno = EINVAL;
    return false;
  }
  // O_TRUNC without O_NOFOLLOW: like CREATE_ALWAYS, an existing link is written through.
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EACCES || errno == ETXTBSY)) {
    // A file that an earlier installation wrote read-only (as the archive asked), or the program
    // while it runs, cannot be opened for writing, yet the folder lets it be replaced: the old file
    // goes (a running program keeps its image) and a new one takes its name.
    const int refused = errno;
    struct stat st;
    if (lstat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(native.c_str()) == 0) {
      fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } else {
      errno = refused;  // the reason the file could not be written, not that of the attempt
    }
  }
  return Attach(file, fd, "wb");
}

}  // namespace zyv
