// Files and directories: existence, creation, removal, replacing renames and whole-file writes.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/file_write.h"
#include "platform/posix/posix_internal.h"
#include "platform/text.h"

namespace zyv {

namespace posix {
namespace {

/// fsync of whatever is at path, opened without following a link and without blocking on a FIFO.
/// A path that cannot be opened is not an error here: there is nothing of ours to flush.
bool SyncPath(const std::string& path, int extra_flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | extra_flags);
  if (fd < 0) return true;
  // EINVAL: the object does not support syncing (a FIFO, some special files); nothing to flush.
  const bool ok = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return ok;
}

}  // namespace

bool ReplaceDurably(const std::string& from, const std::string& to) {
  // The data first: a crash just after the rename must not leave a target without its contents.
  if (!SyncPath(from, 0)) return false;
  if (rename(from.c_str(), to.c_str()) != 0) return false;
  // The rename is done; a failure to flush the folders cannot undo it, so it is not reported.
  const std::string to_folder = ParentFolder(to);
  SyncPath(to_folder, O_DIRECTORY);
  if (const std::string from_folder = ParentFolder(from); from_folder != to_folder) {
    SyncPath(from_folder, O_DIRECTORY);
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool WriteReplacing(const std::string& path, const std::string& temp, std::string_view bytes, mode_t mode) {
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // fchmod, unlike the mode given at creation, is not narrowed by the umask.
  const bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes);
  if (close(fd) != 0 || !written || !ReplaceDurably(temp, path)) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace posix

bool PathExists(const WString& path) {
  // lstat: a link counts as something at the path even when it leads nowhere, as on Windows.
  std::string native;
  struct stat st;
  return posix::NativePath(path, native) && lstat(native.c_str(), &st) == 0;
}

bool IsFolder(const WString& path) {
  std::string native;
  struct stat st;
  return posix::NativePath(path, native) && lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSizeOf(const WString& path, std::uint64_t& size) {
  std::string native;
  struct stat st;
  if (!posix::NativePath(path, native) || lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool MakeDirectory(const WString& path) {
  std::string native;
  return posix::NativePath(path, native) && mkdir(native.c_str(), 0777) == 0;
}

bool RemoveFile(const WString& path) {
  std::string native;
  return posix::NativePath(path, native) && unlink(native.c_str()) == 0;
}

bool RenameFile(const WString& from, const WString& to) {
  std::string native_from, native_to;
  if (!posix::NativePath(from, native_from) || !posix::NativePath(to, native_to)) {
    errno = EINVAL;
    return false;
  }
  // RENAME_NOREPLACE: a name that appeared at the target meanwhile is reported, never lost. A file
  // system without it (EINVAL) gets the check and the rename apart.
  if (renameat2(AT_FDCWD, native_from.c_str(), AT_FDCWD, native_to.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL) return false;
  struct stat st;
  if (lstat(native_to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(native_from.c_str(), native_to.c_str()) == 0;
}

bool RemoveFolder(const WString& path) {
  std::string native;
  return posix::NativePath(path, native) && rmdir(native.c_str()) == 0;
}

bool ListFolder(const WString& folder, std::vector<FolderEntry>& entries) {
  std::string native;
  if (!posix::NativePath(folder, native)) return false;
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  entries.clear();
  errno = 0;
  while (const dirent* e = readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    bool is_folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_folder = fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    entries.push_back({Utf8ToUtf16(name), is_folder});
  }
  const bool ok = errno == 0;
  closedir(dir);
  return ok;
}

void FlushVolume(const WString& path) {
  std::string native;
  if (!posix::NativePath(path, native)) return;
  // One syncfs instead of an fsync per file: the kernel writes the volume's dirty data and its
  // journal in one go.
  const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

bool ReplaceFileAtomically(const WString& from, const WString& to) {
  std::string native_from, native_to;
  return posix::NativePath(from, native_from) && posix::NativePath(to, native_to) &&
         posix::ReplaceDurably(native_from, native_to);
}

}  // namespace zyv
