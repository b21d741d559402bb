// The library search order of the running process: the system folder only.
#include "platform/win32/wide.h"

namespace zyv {

bool HardenDllSearch() {
  // SetDefaultDllDirectories arrived with Windows 8 and with KB2533623 on Vista and 7, so it is
  // looked up rather than imported: a missing import would stop the program from starting at all.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const FARPROC proc = kernel32 != nullptr ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr;
  if (proc != nullptr) {
    // Through void (*)() so the cast between function types is explicit about being deliberate.
    const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    if (set_default(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE) return true;
  }
  // Without it, at least take the current folder out of the search (the program's folder stays).
  return SetDllDirectoryW(L"") != FALSE;
}

}  // namespace zyv
