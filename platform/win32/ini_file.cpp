// Settings files: one key set as the system's profile writer sets it, written whole and durably.
#include <string>

#include "platform/ini_text.h"
#include "platform/win32/no_follow.h"

namespace zyv {
namespace {

/// Text in the ANSI code page, as the profile writer keeps a file without a byte-order mark;
/// characters the code page lacks become its default character.
std::string Ansi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = static_cast<int>(text.size());
  std::string out(
      static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr)),
      '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, size, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  return out;
}

}  // namespace

bool WriteIniValue(const WString& section, const WString& key, const WString& value, const WString& file) {
  // Not the profile writer itself: it follows links, and leaves what it wrote in the cache, where
  // a power cut can turn the file into zeros that every later run would keep as the user's. The
  // same edit is made here, and the file replaced whole, flushed (WriteFileReplacing); a link at
  // its name is refused.
  std::string bytes;
  if (!ReadWholeFile(file, bytes)) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;  // a link, a folder, no access
    bytes.clear();
  }
  return SetIniValue(bytes, section, key, value, Ansi) && WriteFileReplacing(file, bytes);
}

}  // namespace zyv
