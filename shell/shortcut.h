// The desktop shortcut to the installed program.
#pragma once

#include "platform/platform.h"

namespace zyv {

/// Writes the Kelvora shortcut to base + "dudizu" + separator + "ZyvSHelp.exe" on the desktop.
void CreateDesktopShortcut(const WString& base);

/// Writes a shortcut at link to target, working in target's folder; true when it was saved.
bool CreateShellLink(const WString& target, const WString& link);

}  // namespace zyv
