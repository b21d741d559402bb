// The smallest GUI program of this toolchain that does something visible: one message box. Built
// with the installer's own compile and link options, its size is the floor the installer's stub
// (the executable without its payload) is compared with.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return MessageBoxW(nullptr, L"\u5b89\u88c5\u5b8c\u6210", L"ZyvInstall", MB_OK) == IDOK ? 0 : 1;
}
