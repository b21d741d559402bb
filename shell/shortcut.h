// The desktop shortcut to the installed program, and its menu entry where the system has one.
#pragma once

#include "platform/platform.h"

namespace zyv {

/// The shortcut's file name on this system: a shell link on Windows, a desktop entry elsewhere.
extern const WString kShortcutFileName;

/// Writes the Kelvora shortcut to base + "dudizu" + separator + "ZyvSHelp.exe" on the desktop; none
/// when the desktop folder cannot be found.
void CreateDesktopShortcut(const WString& base);

/// Lists Kelvora in the applications menu with the entry the desktop shortcut is, where the system
/// keeps a user's menu entries beside the install base (POSIX: base + "applications", base being
/// ${XDG_DATA_HOME:-~/.local/share}/), and tells the menu. Windows gets no Start-menu entry: nothing
/// there. A failure is not reported, like the shortcut's.
void CreateMenuEntry(const WString& base);

/// The program the shortcut starts: base + "dudizu" + separator + "ZyvSHelp.exe".
WString ShortcutTarget(const WString& base);

/// The shortcut's path in the desktop folder.
WString DesktopShortcutPath(const WString& desktop);

/// Writes a shortcut at link to target, working in target's folder, replacing an existing file; true
/// when it was saved. The target need not exist.
bool CreateShellLink(const WString& target, const WString& link);

}  // namespace zyv
