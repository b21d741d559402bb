#include "app/install.h"

#include "app/framework.h"
#include "shell/shortcut.h"

namespace zyv {

WString InstallFolder(const WString& base) { return base + kInstallFolderName; }

bool BackupConfig(const WString& base) {
  (void)base;
  return false;
}

int UnpackPayload(const WString& base, bool existed) {
  (void)base, (void)existed;
  return 0;
}

void RunInstall(WString base) {
  const bool existed = BackupConfig(base);
  UnpackPayload(base, existed);
  CreateDesktopShortcut(base);
  AfxMessageBox(kCompletedText, MB_OK, 0);
  const WString folder = InstallFolder(base);
  ShellOpen(u"open", folder + kPathSeparator + kProgramName, u"", folder, kShowNormal);
}

}  // namespace zyv
