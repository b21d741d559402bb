// POSIX: links below the install base are followed where a user placed them (the staging file,
// made afresh, is the one exception: payload/posix/staging_file.cpp). A folder's path can always be
// renamed here, so there is nothing to hold either.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace zyv {

int LinkRefusedError() { return ELOOP; }

WString FindRefusedLink(const WString&) { return {}; }

HeldFolder::HeldFolder(const WString& path) {
  std::string native;
  struct stat st;
  if (posix::NativePath(path, native) && stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    state_ = State::kHeld;
  }
}

HeldFolder::~HeldFolder() = default;

LinkGuard::LinkGuard(const WString&) {}

LinkGuard::~LinkGuard() = default;

}  // namespace zyv
