// Messages to the user: their lines on standard output, and a dialog only when one is asked for.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"

namespace zyv {
namespace {

bool HasDesktopSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

/// Runs a dialog program and waits until the user closes it; false when it could not start.
bool RunDialog(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // 127 is the child's own report that the program could not be run.
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace

void ShowMessage(const WString& text, const WString& caption) {
  // Each line of the text a line of output; a carriage return would only garble a terminal.
  std::string line = Utf16ToUtf8(text);
  std::erase(line, '\r');
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);

  // A dialog would block until someone closes it, so only where a user asked for one: tests and
  // unattended runs see the line and go on.
  const char* wanted = std::getenv("ZYV_GUI_DIALOG");
  if (wanted == nullptr || std::strcmp(wanted, "1") != 0 || !HasDesktopSession()) return;
  const std::string message = Utf16ToUtf8(text), title = Utf16ToUtf8(caption);
  if (RunDialog({"zenity", "--info", "--no-markup", "--title=" + title, "--text=" + message})) return;
  RunDialog({"kdialog", "--title", title, "--msgbox", message});
}

}  // namespace zyv
