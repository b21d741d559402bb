// The archive's attribute word applied to a written file as POSIX permissions.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace zyv {
namespace {

constexpr std::uint32_t kReadOnly = 0x1;          // FILE_ATTRIBUTE_READONLY
constexpr std::uint32_t kUnixExtension = 0x8000;  // the high 16 bits hold st_mode
constexpr mode_t kWriteBits = 0222;

}  // namespace

std::uint32_t FileCreationMask() { return posix::CurrentUmask(); }

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib, std::uint32_t creationMask) {
  std::string native;
  if (!posix::NativePath(path, native)) return false;
  struct stat st;
  if (fstatat(AT_FDCWD, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // Never change what a link points to: the archive's modes are for the files it wrote.
  if (S_ISLNK(st.st_mode)) return false;

  mode_t mode = st.st_mode & 0777;
  if (attrib & kUnixExtension) {
    // Permission bits only (never setuid, setgid or sticky), and no more than the user's umask
    // allows, as unpackers do for an ordinary user: an archive cannot make the installed files
    // writable by everyone.
    mode = static_cast<mode_t>((attrib >> 16) & 0777 & ~creationMask);
  }
  if (attrib & kReadOnly) mode &= ~kWriteBits;
  if (mode == (st.st_mode & 07777)) return true;
  return fchmodat(AT_FDCWD, native.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace zyv
