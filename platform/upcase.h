// Names compared as NTFS compares them, on every host: the release check and the Linux build must
// tell which two names are one file on Windows exactly as the Windows build does.
#pragma once

#include <string>
#include <string_view>

namespace zyv {

/// unit's simple upper case, as NTFS's upcase table maps the Basic Multilingual Plane: ä to Ä, ω to
/// Ω, а to А. Surrogates, and units whose upper case is not one unit (ß), keep their value.
char16_t UpcaseNtfs(char16_t unit);

/// text with each unit upper-cased by UpcaseNtfs: two names are one on NTFS when these are equal.
std::u16string UpcaseNtfs(std::u16string_view text);

}  // namespace zyv
