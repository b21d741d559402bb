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

bool CreateOutputFile(CSzFile* file, const WString& path) {
  std::string native;
  if (!posix::NativePath(path, native)) {
    errno = EINVAL;
    return false;
  }
  // O_TRUNC without O_NOFOLLOW: like CREATE_ALWAYS, an existing link is written through.
  const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return Attach(file, fd, "wb");
}

}  // namespace zyv
