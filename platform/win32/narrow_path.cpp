// Paths in the ANSI code page, for the few byte-string file functions.
#include "platform/win32/narrow_path.h"

#include <climits>

namespace zyv {
namespace win32 {

std::string ToCodePage(UINT cp, const WString& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  // UTF-8 holds every character and refuses a default character (ERROR_INVALID_PARAMETER):
  // https://learn.microsoft.com/windows/win32/api/stringapiset/nf-stringapiset-widechartomultibyte
  const bool utf8 = cp == CP_UTF8 || (cp == CP_ACP && GetACP() == CP_UTF8);
  const char* substitute = utf8 ? nullptr : "_";
  const int size = WideCharToMultiByte(cp, 0, W(text), length, nullptr, 0, substitute, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(cp, 0, W(text), length, narrow.data(), size, substitute, nullptr) != size)
    return {};
  return narrow;
}

}  // namespace win32

std::string ToNarrowPath(const WString& path) { return win32::ToCodePage(CP_ACP, path); }

}  // namespace zyv
