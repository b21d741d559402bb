// Start-up chores of the application framework that have a system API: common controls and
// restart registration.

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <commctrl.h>

namespace zyv {

bool InitCommonControlsClasses(std::uint32_t size, std::uint32_t classes) {
  // Loaded here rather than imported. An imported comctl32 would be loaded and initialised before
  // the entry point could restrict the library search (HardenDllSearch), and its initialisation
  // loads more libraries (the theme library among them) by bare name, from the program's folder
  // first. Loaded now, it and everything it brings come from the system (the manifest still
  // selects version 6). It stays loaded: the classes it registers live in it.
  const HMODULE comctl32 = LoadLibraryW(L"comctl32.dll");
  if (comctl32 == nullptr) return false;
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const FARPROC proc = GetProcAddress(comctl32, "InitCommonControlsEx");
  if (proc == nullptr) return false;
  const auto init = reinterpret_cast<InitFn>(reinterpret_cast<void (*)()>(proc));
  INITCOMMONCONTROLSEX record{};
  record.dwSize = size;
  record.dwICC = classes;
  return init(&record) != FALSE;
}

bool RegisterForRestart(std::uint32_t flags) {
  // No command line and no recovery callback: restart only.
  return SUCCEEDED(RegisterApplicationRestart(nullptr, flags));
}

}  // namespace zyv
