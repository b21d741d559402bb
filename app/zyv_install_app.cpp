#include "app/zyv_install_app.h"

#include <memory>

#include "app/install.h"

namespace zyv {

const CommandEntry CZyvInstallApp::kCommandMap[] = {{ID_HELP, &CWinApp::OnHelp}};

CZyvInstallApp::CZyvInstallApp() { m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART; }

bool CZyvInstallApp::InitInstance() {
  InitCommonControlsClasses(kCommonControlsRecordSize, kCommonControlsClasses);
  CWinApp::InitInstance();
  AfxEnableControlContainer();
  auto shell_manager = std::make_unique<CShellManager>();
  SetDefaultVisualManager(CMFCVisualManagerWindows{});
  SetRegistryKey(kRegistryCompany);

  // The separator is appended whatever the path ends in: a failed lookup gives a base of just it.
  WString base = KnownFolderPath(kCsidlLocalAppData);
  base += kPathSeparator;
  RunInstall(base);

  shell_manager.reset();
  return false;
}

}  // namespace zyv
