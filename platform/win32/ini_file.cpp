// Settings files, through the system's profile writer.
#include "platform/win32/no_follow.h"

namespace zyv {

bool WriteIniValue(const WString& section, const WString& key, const WString& value, const WString& file) {
  using win32::W;
  // The profile writer follows links.
  if (!win32::NoLinkAt(file)) {
    SetLastError(win32::kLinkRefused);
    return false;
  }
  return WritePrivateProfileStringW(W(section), W(key), W(value), W(file)) != FALSE;
}

}  // namespace zyv
