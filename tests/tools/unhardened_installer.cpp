// The installer exactly as app/main.cpp builds it but without HardenDllSearch: the control run of
// the DLL planting test, which shows that the planted libraries would be loaded without it.
#include <windows.h>

#include "app/zyv_install_app.h"

namespace {
zyv::CZyvInstallApp theApp;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return zyv::AfxWinMain(); }
