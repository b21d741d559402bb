// The least of an application framework that the installer needs: an application object with a
// start-up hook, the restart flags, the application name and the registry key, and the entry point
// that runs the hook. Chores with a real system API call it; the rest are named no-ops.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zyv {

// The framework's values under names of their own: spelt as the system headers spell them, they
// would collide with windows.h's macros in any file that includes both.
inline constexpr std::uint32_t kRestartManagerSupportRestart = 0x1;  // AFX_RESTART_MANAGER_SUPPORT_RESTART
inline constexpr std::uint32_t kHelpCommand = 0xE146;                // ID_HELP
inline constexpr std::uint32_t kMessageBoxOk = 0x0;                  // MB_OK

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  /// Start-up hook; true would keep the application running (there is no message loop here).
  virtual bool InitInstance();

  /// Remembers where settings would be kept; nothing is ever stored there.
  void SetRegistryKey(const WString& company) { registry_key_ = company; }
  const WString& RegistryKey() const { return registry_key_; }

  /// The executable's base name, without folder and extension.
  WString AppName() const;

  /// The help command's handler; routed from kHelpCommand, never reached without a message loop.
  void OnHelp() {}

  std::uint32_t m_dwRestartManagerSupportFlags = 0;

 private:
  WString registry_key_;
};

/// Routes a command identifier to a member handler, the shape of a framework command map.
struct CommandEntry {
  std::uint32_t id;
  void (CWinApp::*handler)();
};

/// The one application object, registered by its constructor; null before static initialisation.
CWinApp* AfxGetApp();

/// Runs the application object's start-up hook and gives the process's exit code.
int AfxWinMain();

/// Shows a message box owned by no window, captioned with the application name. Blocks until closed.
int AfxMessageBox(const WString& text, std::uint32_t type = kMessageBoxOk, std::uint32_t help_context = 0);

/// Control containment, the shell manager and the visual manager: nothing to prepare here.
void AfxEnableControlContainer();
class CShellManager {};
class CMFCVisualManager {
 public:
  virtual ~CMFCVisualManager() = default;
};
class CMFCVisualManagerWindows : public CMFCVisualManager {};
void SetDefaultVisualManager(const CMFCVisualManager& manager);

}  // namespace zyv
