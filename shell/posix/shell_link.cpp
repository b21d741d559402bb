// The shortcut as a freedesktop Desktop Entry (.desktop): a launcher file that desktops and file
// managers start when it is executable, and the same entry in the user's applications folder, from
// which desktops build their menus.
// Format: the freedesktop.org Desktop Entry format (key-value file, Exec quoting and escaping rules).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

#include "platform/posix/file_write.h"
#include "platform/posix/programs.h"
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

/// The hidden name beside the launcher that it is written under before it replaces the old one.
std::string TempBeside(const std::string& path) {
  const std::string::size_type cut = path.rfind('/') + 1;  // 0 for a bare name
  return path.substr(0, cut) + "." + path.substr(cut) + ".writing";
}

/// Whether path is already entry: a regular file (never a link) of mode 0755 with those bytes.
bool AlreadyWritten(const std::string& path, const std::string& entry) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0755 ||
      static_cast<std::size_t>(st.st_size) != entry.size()) {
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string bytes(entry.size() + 1, '\0');
  std::size_t got = 0;
  for (ssize_t n; got < bytes.size() && (n = read(fd, bytes.data() + got, bytes.size() - got)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  return got == entry.size() && bytes.compare(0, got, entry) == 0;
}

/// Writes the launcher for target at link, unless it is there already as it would be written (a
/// re-installation then changes nothing, nor makes the menu read its folder again); written says
/// which. False when it could not be written.
bool WriteLauncher(const WString& target, const WString& link, bool& written) {
  const std::string path = Utf16ToUtf8(link);
  const std::string entry = DesktopEntry(Utf16ToUtf8(target));
  written = !AlreadyWritten(path, entry);
  // Executable: desktops start a launcher only when it is.
  return !written || posix::WriteReplacing(path, TempBeside(path), entry, 0755);
}

}  // namespace

bool CreateShellLink(const WString& target, const WString& link) {
  bool written = false;
  return WriteLauncher(target, link, written);
}

void CreateMenuEntry(const WString& base) {
  // The applications folder of the data folder the product is installed in: the one desktops read
  // a user's own entries from. Made private when missing, as the base-directory rules ask.
  const WString folder = base + u"applications";
  const std::string native = Utf16ToUtf8(folder);
  mkdir(native.c_str(), 0700);
  // Kelvora.desktop there is also the entry's desktop-file ID, which no other program's entry takes.
  bool written = false;
  if (!WriteLauncher(ShortcutTarget(base), folder + kPathSeparator + kShortcutFileName, written) || !written)
    return;
  // Desktops watch the folder themselves; the folder's MIME cache is brought up to date as a package
  // manager would, where the tool is there. It takes moments, so it is waited for, within a bound.
  const std::string tool = posix::FindProgram("update-desktop-database");
  if (tool.empty()) return;
  if (const pid_t pid = posix::StartProgram(tool, {"update-desktop-database", native}); pid > 0) {
    posix::WaitForProgram(pid, std::chrono::seconds(5));
  }
}

}  // namespace zyv
