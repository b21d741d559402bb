// Before files are replaced, the programs that hold them are asked to close, the way installers do
// it: the Restart Manager finds them and sends them the messages a log-off would, without forcing;
// and only when they are all Kelvora's own (MayAskToClose).
// https://learn.microsoft.com/windows/win32/rstmgr/using-restart-manager-with-a-primary-installer
#include <utility>
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

/// What the manager lists, as the decision reads it: each program's kind, and its image when the
/// process the manager names (its id and start time) still runs and lets its name be read.
std::vector<FileHolder> Holders(const std::vector<RM_PROCESS_INFO>& found) {
  std::vector<FileHolder> holders;
  for (const RM_PROCESS_INFO& info : found) {
    FileHolder holder;
    switch (info.ApplicationType) {
      case RmMainWindow:
      case RmOtherWindow:
        holder.kind = FileHolder::Kind::kWindowed;
        break;
      case RmConsole:
        holder.kind = FileHolder::Kind::kConsole;
        break;
      case RmService:
        holder.kind = FileHolder::Kind::kService;
        break;
      case RmExplorer:
        holder.kind = FileHolder::Kind::kShell;
        break;
      case RmCritical:
        holder.kind = FileHolder::Kind::kCritical;
        break;
      default:
        holder.kind = FileHolder::Kind::kUnknown;
        break;
    }
    if (const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.Process.dwProcessId)) {
      FILETIME created, exited, kernel, user;
      wchar_t image[32768];
      DWORD size = sizeof image / sizeof image[0];
      // The same process the manager listed, not another that was given its id since.
      if (GetProcessTimes(process, &created, &exited, &kernel, &user) &&
          CompareFileTime(&created, &info.Process.ProcessStartTime) == 0 &&
          QueryFullProcessImageNameW(process, 0, image, &size)) {
        holder.image = win32::FromW(image, size);
      }
      CloseHandle(process);
    }
    holders.push_back(std::move(holder));
  }
  return holders;
}

/// Asks exactly the processes listed to close, in a session that names them and nothing else.
bool CloseOnly(const std::vector<RM_PROCESS_INFO>& found, decltype(&RmStartSession) start,
               decltype(&RmRegisterResources) add, decltype(&RmShutdown) shut_down,
               decltype(&RmEndSession) end) {
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (start(&session, 0, key) != ERROR_SUCCESS) return false;
  std::vector<RM_UNIQUE_PROCESS> processes;
  for (const RM_PROCESS_INFO& info : found) processes.push_back(info.Process);
  const bool closed = add(session, 0, nullptr, static_cast<UINT>(processes.size()), processes.data(), 0,
                          nullptr) == ERROR_SUCCESS &&
                      shut_down(session, 0, nullptr) == ERROR_SUCCESS;
  end(session);
  return closed;
}

}  // namespace

bool AskHoldersToClose(const std::vector<WString>& files, const WString& folder) {
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
    std::vector<win32::SysPath> paths;
    std::vector<LPCWSTR> names;
    for (const WString& f : files) paths.emplace_back(f);
    for (const win32::SysPath& p : paths) names.push_back(p);
    // All the files in one call: the manager's own cost is per call, not per file.
    if (add(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) ==
        ERROR_SUCCESS) {
      std::vector<RM_PROCESS_INFO> found;
      UINT needed = 0, count = 0;
      DWORD reasons = 0;
      DWORD listed = list(session, &needed, &count, nullptr, &reasons);
      for (int tries = 0; listed == ERROR_MORE_DATA && tries < 3; ++tries) {
        found.resize(needed);
        count = needed;
        listed = list(session, &needed, &count, found.data(), &reasons);
      }
      found.resize(listed == ERROR_SUCCESS ? count : 0);
      // Only Kelvora's own programs are asked, and only when nothing else holds a file: the shell,
      // a service or a critical process would be closed and never come back. They are asked in a
      // session of their own, registered by process: a session of files would look again at who
      // holds them when it shuts down, and take in whatever opened one since.
      const std::vector<FileHolder> holders = Holders(found);
      closed = listed == ERROR_SUCCESS && (holders.empty() || (MayAskToClose(holders, folder) &&
                                                               CloseOnly(found, start, add, shut_down, end)));
    }
    end(session);
  }
  FreeLibrary(library);
  return closed;
}

}  // namespace zyv
