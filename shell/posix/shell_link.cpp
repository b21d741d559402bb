// The shortcut as a freedesktop Desktop Entry (.desktop): a launcher file that desktops and file
// managers start when it is executable.
// Format: the freedesktop.org Desktop Entry format (key-value file, Exec quoting and escaping rules).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/product_names.h"
#include "platform/text.h"
#include "shell/shortcut.h"

namespace zyv {

const WString kShortcutFileName = WString(kProductName) + u".desktop";

namespace {

/// A value of type string: backslash and the control characters that would end or alter the line are
/// escaped; a leading space is written \s, since the parser drops spaces after the '='.
std::string EscapeStringValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    switch (const char c = value[i]) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case ' ':
        out += i == 0 ? "\\s" : " ";
        break;
      default:
        out += c;
    }
  }
  return out;
}

/// One Exec argument, quoted whole: inside double quotes '"', '`', '$' and '\' take a backslash, and
/// '%' (a field code's mark) is doubled. The string-value escaping comes on top of this, so a literal
/// backslash ends up as four.
std::string QuoteExecArgument(std::string_view arg) {
  std::string out = "\"";
  for (const char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  out += '"';
  return out;
}

std::string DesktopEntry(const std::string& target) {
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" +
      Utf16ToUtf8(kProductName) +
      "\n"
      "Exec=" +
      EscapeStringValue(QuoteExecArgument(target)) + "\n";
  // The program works in its own folder, as the Windows shortcut's working directory says.
  const std::string::size_type cut = target.rfind('/');
  if (cut != std::string::npos && cut > 0) entry += "Path=" + EscapeStringValue(target.substr(0, cut)) + "\n";
  entry += "Terminal=false\n";
  return entry;
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

/// Writes a hidden temporary file beside path and renames it over path, so a reader sees the old file
/// or the whole new one, and an interrupted run leaves no half-written launcher. The temporary name
/// is fixed, so one left by a run killed before its rename is taken over by the next run.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  const std::string::size_type slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = (slash == std::string::npos ? std::string() : dir) + "." + name + ".writing";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // fchmod, unlike the mode given at creation, is not narrowed by the umask.
  bool ok = WriteAll(fd, bytes) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  // The new name lasts only once its folder is on disk too.
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

}  // namespace

bool CreateShellLink(const WString& target, const WString& link) {
  return WriteFileAtomically(Utf16ToUtf8(link), DesktopEntry(Utf16ToUtf8(target)), 0755);
}

}  // namespace zyv
