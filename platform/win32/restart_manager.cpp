// Before files are replaced, the programs that hold them are asked to close, the way installers do
// it: the Restart Manager finds them and sends them the messages a log-off would, without forcing.
// https://learn.microsoft.com/windows/win32/rstmgr/using-restart-manager-with-a-primary-installer
#include <vector>

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <restartmanager.h>

namespace zyv {
namespace {

template <typename Fn>
Fn Function(HMODULE module, const char* name) {
  // Through void (*)() so the cast between function types is explicit about being deliberate.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

bool AskHoldersToClose(const std::vector<WString>& files) {
  if (files.empty()) return true;
  // Looked up rather than imported: the library comes from the system folder (HardenDllSearch), and
  // its absence must not stop the installer from starting.
  const HMODULE library = LoadLibraryW(L"rstrtmgr.dll");
  if (library == nullptr) return false;
  const auto start = Function<decltype(&RmStartSession)>(library, "RmStartSession");
  const auto add = Function<decltype(&RmRegisterResources)>(library, "RmRegisterResources");
  const auto list = Function<decltype(&RmGetList)>(library, "RmGetList");
  const auto shut_down = Function<decltype(&RmShutdown)>(library, "RmShutdown");
  const auto end = Function<decltype(&RmEndSession)>(library, "RmEndSession");
  bool closed = false;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (start != nullptr && add != nullptr && list != nullptr && shut_down != nullptr && end != nullptr &&
      start(&session, 0, key) == ERROR_SUCCESS) {
    std::vector<LPCWSTR> names;
    for (const WString& f : files) names.push_back(win32::W(f));
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    // All the files in one call: the manager's own cost is per call, not per file.
    if (add(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) ==
        ERROR_SUCCESS) {
      const DWORD listed = list(session, &needed, &count, nullptr, &reasons);
      // Nothing forced: a program that refuses keeps its files, which are then moved aside instead.
      closed = (listed == ERROR_SUCCESS && needed == 0) ||
               (listed == ERROR_MORE_DATA && shut_down(session, 0, nullptr) == ERROR_SUCCESS);
    }
    end(session);
  }
  FreeLibrary(library);
  return closed;
}

}  // namespace zyv
