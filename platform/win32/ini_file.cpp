// Settings files, through the system's profile writer.
#include "platform/win32/wide.h"

namespace zyv {

bool WriteIniValue(const WString& section, const WString& key, const WString& value, const WString& file) {
  using win32::W;
  return WritePrivateProfileStringW(W(section), W(key), W(value), W(file)) != FALSE;
}

}  // namespace zyv
