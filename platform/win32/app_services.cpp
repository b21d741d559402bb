// Start-up chores of the application framework that have a system API: common controls and
// restart registration.

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <commctrl.h>

namespace zyv {

bool InitCommonControlsClasses(std::uint32_t size, std::uint32_t classes) {
  INITCOMMONCONTROLSEX record{};
  record.dwSize = size;
  record.dwICC = classes;
  return InitCommonControlsEx(&record) != FALSE;
}

bool RegisterForRestart(std::uint32_t flags) {
  // No command line and no recovery callback: restart only.
  return SUCCEEDED(RegisterApplicationRestart(nullptr, flags));
}

}  // namespace zyv
