// One installation at a time per install folder: an flock on the folder itself, so no lock file is
// left behind, and the kernel lets go of it whenever the process ends, however it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace zyv {

FolderLock::FolderLock(const WString& folder) {
  std::string native;
  if (!posix::NativePath(folder, native)) return;
  // Close-on-exec: the program the installer starts must not inherit the claim.
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int rc;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc == 0) {
    handle_ = fd;
    state_ = State::kHeld;
    return;
  }
  state_ = errno == EWOULDBLOCK ? State::kBusy : State::kUnavailable;
  close(fd);
}

FolderLock::~FolderLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));  // closing the last descriptor releases the lock
}

}  // namespace zyv
