// The installer's one application object, built during static initialisation, and the entry point.
// The object's constructor only sets flags: nothing loads a library before the entry point runs.
#include "app/zyv_install_app.h"

namespace {
zyv::CZyvInstallApp theApp;
}

#ifdef _WIN32
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // First of all: the installer runs elevated, often from a downloads folder where anyone may have
  // left a DLL, so libraries loaded from here on come from the system folder only.
  zyv::HardenDllSearch();
  return zyv::AfxWinMain();
}
#else
int main() {
  zyv::HardenDllSearch();
  return zyv::AfxWinMain();
}
#endif
