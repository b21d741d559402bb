// Messages to the user: the text on standard output always and, where the installer was started
// from a desktop rather than a terminal, in a dialog as well, which nobody would otherwise see.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/programs.h"
#include "platform/text.h"

namespace zyv {
namespace {

/// Runs a dialog program found on PATH until it ends, with no limit when it waits for the user;
/// false when there is no such program or it could not be started.
bool RunDialog(const char* name, const std::vector<std::string>& args,
               std::optional<std::chrono::milliseconds> limit = std::nullopt) {
  const std::string program = posix::FindProgram(name);
  if (program.empty()) return false;
  const pid_t pid = posix::StartProgram(program, args);
  if (pid < 0) return false;
  posix::WaitForProgram(pid, limit);
  return true;
}

}  // namespace

void ShowMessage(const WString& text, const WString& caption) {
  // Each line of the text a line of output; a carriage return would only garble a terminal.
  std::string message = Utf16ToUtf8(text);
  std::erase(message, '\r');
  const std::string line = message + '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);

  if (!posix::DialogsWanted()) return;
  const std::string title = Utf16ToUtf8(caption);
  // Waits until it is closed, as the Windows box does: the program starts only after it.
  // --no-markup: the text is shown as it is, a path with '<' or '&' in it included.
  if (RunDialog("zenity", {"zenity", "--info", "--no-markup", "--title=" + title, "--text=" + message}))
    return;
  if (RunDialog("kdialog", {"kdialog", "--title", title, "--msgbox", message})) return;
  // The notification daemon shows it on its own; notify-send returns at once, or is not waited on
  // for long when the daemon does not answer.
  RunDialog("notify-send", {"notify-send", "--app-name=" + title, "--", title, message},
            std::chrono::seconds(5));
}

}  // namespace zyv
