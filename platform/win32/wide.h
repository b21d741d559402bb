// Hands the platform's UTF-16 strings to the system's W functions.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace zyv::win32 {

// wchar_t is a 16-bit UTF-16 code unit on Windows, the same as char16_t.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

/// The string as the W functions take it; valid while s lives and is not modified.
inline const wchar_t* W(const WString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

/// As W, but null for an empty string, where the system reads null as "use the default".
inline const wchar_t* WOrNull(const WString& s) { return s.empty() ? nullptr : W(s); }

/// A path in the form every Win32 file function is handed, made in this one place: extended-length
/// ("\\?\C:\...", "\\?\UNC\server\share\..."), so that no length limit applies, made absolute from
/// the process's current folder where it is relative (ExtendedLengthPath). Valid while it lives: a
/// temporary serves for the length of the call it is an argument of.
class SysPath {
 public:
  explicit SysPath(const WString& path);
  operator const wchar_t*() const { return W(path_); }
  const WString& str() const { return path_; }

 private:
  WString path_;
};

/// A string the system wrote into a wchar_t buffer.
inline WString FromW(const wchar_t* s, std::size_t length) {
  return WString(reinterpret_cast<const char16_t*>(s), length);
}

}  // namespace zyv::win32
