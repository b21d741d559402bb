// The installer's one application object, built during static initialisation, and the entry point.
#include "app/zyv_install_app.h"

namespace {
zyv::CZyvInstallApp theApp;
}

#ifdef _WIN32
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return zyv::AfxWinMain(); }
#else
int main() { return zyv::AfxWinMain(); }
#endif
