// make_link TARGET LINK: writes a shell link through CreateShellLink, for checks that read the file
// with tools outside Windows. Exit status 0 when the link was saved.
#include <cstdio>

#include "shell/shortcut.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: make_link TARGET LINK\n", stderr);
    return 2;
  }
  const auto wide = [](const wchar_t* s) { return zyv::WString(reinterpret_cast<const char16_t*>(s)); };
  return zyv::CreateShellLink(wide(argv[1]), wide(argv[2])) ? 0 : 1;
}
