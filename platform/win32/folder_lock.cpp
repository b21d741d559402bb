// One installation at a time per install folder: a named mutex in the user's session ("Local\"),
// which the system abandons, and so hands on, when the process ends however it ends.
#include "platform/win32/wide.h"

namespace zyv {

FolderLock::FolderLock(const WString& folder) {
  // A mutex name may not hold a backslash past its namespace prefix.
  WString name = u"Local\\ZyvInstall:";
  for (const char16_t c : folder) name += c == u'\\' ? u'/' : c;
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, win32::W(name));
  if (mutex == nullptr) return;  // a name longer than the system takes, say: nothing to hold
  const DWORD wait = WaitForSingleObject(mutex, 0);
  // WAIT_ABANDONED: its last holder ended without releasing it; the claim is ours now.
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    state_ = State::kHeld;
    return;
  }
  state_ = wait == WAIT_TIMEOUT ? State::kBusy : State::kUnavailable;
  CloseHandle(mutex);
}

FolderLock::~FolderLock() {
  if (handle_ == -1) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace zyv
