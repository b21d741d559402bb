// Other programs the POSIX installer runs for a moment and waits for (dialogs, the menu's cache
// tool): found on PATH by the installer itself and started with an argument vector, never through a
// shell, since what they are given (a message, a path) may hold anything.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyv::posix {

/// The first executable regular file called name in an absolute folder of PATH; empty when there is
/// none. Relative folders (an empty one means the current folder) are passed over: nothing that
/// merely lies where the installer was started from is run.
std::string FindProgram(std::string_view name);

/// Starts program (a path) with args (args[0] being its name), with standard input from input (or
/// /dev/null when -1), standard output and error to /dev/null, default signal handling and none of
/// our other descriptors (a held lock must not live on in a dialog). The child's pid, or -1 when it
/// could not be started.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, int input = -1);

/// Waits until child has ended and answers its exit status (-1 when a signal ended it). With a
/// limit, a child still running when it is up is killed, then reaped.
int WaitForProgram(pid_t child, std::optional<std::chrono::milliseconds> limit = std::nullopt);

/// Whether what the installer shows goes to dialogs as well as standard output: when standard output
/// is not a terminal (started from a file manager or a launcher, where nobody reads it) and a
/// desktop session is there to show them (DISPLAY or WAYLAND_DISPLAY).
bool DialogsWanted();

}  // namespace zyv::posix
