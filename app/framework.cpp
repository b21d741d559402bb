#include "app/framework.h"

namespace zyv {
namespace {

CWinApp* g_app = nullptr;

}  // namespace

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

bool CWinApp::InitInstance() {
  // Restart only: no recovery callback is registered, and restart is wanted in every case (flags 0).
  if (m_dwRestartManagerSupportFlags & kRestartManagerSupportRestart) RegisterForRestart(0);
  return true;
}

WString CWinApp::AppName() const {
  WString name = ModuleFileName();
  if (const auto slash = name.find_last_of(u"\\/"); slash != WString::npos) name.erase(0, slash + 1);
  if (const auto dot = name.rfind(u'.'); dot != WString::npos && dot > 0) name.erase(dot);
  return name;
}

CWinApp* AfxGetApp() { return g_app; }

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 1;
  // Whatever the hook answers, there is no message loop to run: the application ends here.
  app->InitInstance();
  return 0;
}

int AfxMessageBox(const WString& text, std::uint32_t type, std::uint32_t help_context) {
  (void)type, (void)help_context;
  ShowMessage(text, g_app != nullptr ? g_app->AppName() : WString());
  return 1;  // IDOK
}

void AfxEnableControlContainer() {}

void SetDefaultVisualManager(const CMFCVisualManager&) {}

}  // namespace zyv
