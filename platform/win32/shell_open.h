// Starting a program through the shell: the two routes ShellOpen chooses between, for its tests.
#pragma once

#include "platform/win32/wide.h"

namespace zyv::win32 {

/// Whether this process runs with an elevated token (the installer asks for one).
bool RunsElevated();

/// What became of a start through the desktop shell.
enum class ShellStart { kStarted, kNoShell, kRefused };

/// Starts file (verb, params, dir, show as ShellExecute takes them) through the desktop shell's own
/// process: the shell windows' desktop view hands the request to its IShellDispatch2, which runs
/// in Explorer with the rights of the user at the desktop, not with this process's. kNoShell when no
/// desktop shell answers; kRefused when it did and would not start it.
ShellStart StartThroughDesktopShell(const WString& verb, const WString& file, const WString& params,
                                    const WString& dir, int show);

/// For tests only: the desktop shell is taken to be missing, as where none runs.
inline bool g_no_desktop_shell = false;

}  // namespace zyv::win32
