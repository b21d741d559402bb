#include "shell/shortcut.h"

#include "platform/product_names.h"

namespace zyv {

WString ShortcutTarget(const WString& base) {
  return base + kInstallFolderName + kPathSeparator + kProgramName;
}

WString DesktopShortcutPath(const WString& desktop) { return desktop + kPathSeparator + kShortcutFileName; }

void CreateDesktopShortcut(const WString& base) {
  // Without a desktop there is no shortcut: an empty path would put it at the root of the drive.
  const WString desktop = KnownFolderPath(kCsidlDesktop);
  if (desktop.empty()) return;
  // A failure is not reported: the installation goes on to its completion message either way.
  CreateShellLink(ShortcutTarget(base), DesktopShortcutPath(desktop));
}

}  // namespace zyv
