#include "app/zyv_install_app.h"

#include <memory>

#include "app/install.h"

namespace zyv {

const CommandEntry CZyvInstallApp::kCommandMap[] = {{kHelpCommand, &CWinApp::OnHelp}};

CZyvInstallApp::CZyvInstallApp() { m_dwRestartManagerSupportFlags = kRestartManagerSupportRestart; }

bool CZyvInstallApp::InitInstance() {
  InitCommonControlsClasses(kCommonControlsRecordSize, kCommonControlsClasses);
  CWinApp::InitInstance();
  AfxEnableControlContainer();
  auto shell_manager = std::make_unique<CShellManager>();
  SetDefaultVisualManager(CMFCVisualManagerWindows{});
  SetRegistryKey(kRegistryCompany);

  WString base = KnownFolderPath(kCsidlLocalAppData);
  if (base.empty()) {
    // Without the folder every path would be relative to the root of the drive, where an elevated
    // process may well write: nothing is installed, and the user is told.
    AfxMessageBox(ResultText(kNoInstallBase), kMessageBoxOk, 0);
  } else {
    // The separator is appended whatever the path ends in.
    base += kPathSeparator;
    RunInstall(base);
  }

  shell_manager.reset();
  return false;
}

}  // namespace zyv
