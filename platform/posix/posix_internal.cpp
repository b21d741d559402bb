// Helpers shared by the POSIX implementation files.
#include "platform/posix/posix_internal.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/text.h"

namespace zyv::posix {

bool NativePath(const WString& path, std::string& out) {
  if (path.find(u'\0') != WString::npos) return false;
  out = Utf16ToUtf8(path);
  return true;
}

std::string ParentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t CurrentUmask() {
  // umask(2) can only be read by setting it, which would open a window in which another thread
  // creates files with the wrong mask; the kernel also reports it here (Linux 4.7 and later).
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask);
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

}  // namespace zyv::posix
