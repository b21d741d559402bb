#include "shell/shortcut.h"

#include "app/names.h"

namespace zyv {

WString ShortcutTarget(const WString& base) {
  return base + kInstallFolderName + kPathSeparator + kProgramName;
}

WString DesktopShortcutPath(const WString& desktop) { return desktop + kPathSeparator + kShortcutFileName; }

void CreateDesktopShortcut(const WString& base) {
  // A failure is not reported: the installation goes on to its completion message either way.
  CreateShellLink(ShortcutTarget(base), DesktopShortcutPath(KnownFolderPath(kCsidlDesktop)));
}

}  // namespace zyv
