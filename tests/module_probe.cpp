// A small Windows program for the platform tests: writes its own path, as ModuleFileName gives it,
// to probe.txt in its working directory (through a temporary name, so a reader never sees half).
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::string path = zyv::Utf16ToUtf8(zyv::ModuleFileName());
  std::FILE* out = std::fopen("probe.tmp", "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(path.data(), 1, path.size(), out) == path.size();
  if (std::fclose(out) != 0 || !written) return 1;
  return MoveFileExW(L"probe.tmp", L"probe.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
