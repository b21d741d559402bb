// A settings file's bytes edited the way the Windows profile writer edits them, on every system:
// the installer records its name in the payload's config.ini with it, and every other byte stays.
#pragma once

#include <string>
#include <string_view>

namespace zyv {

/// How text goes into a file without a byte-order mark: UTF-8 (POSIX), the ANSI code page (Windows,
/// as the profile writer keeps such a file).
using NarrowText = std::string (*)(std::u16string_view);

/// Sets key=value in [section] of bytes, a settings file's contents (empty for a new file), as the
/// Windows profile writer does: section and key matched case-insensitively and the first of each
/// counted, the value replaced in place or the key appended at the end of its section, the section
/// appended when missing, every other byte kept. A file with UTF-16's byte-order mark stays UTF-16,
/// one with UTF-8's is edited as UTF-8, any other as narrow text. False, bytes unchanged, when the
/// edit is not safe: a line break or NUL in any part, ']' in the section, '=' in the key, a key
/// that starts with ';' or '[', an empty section or key, a UTF-16 file of an odd length.
bool SetIniValue(std::string& bytes, std::u16string_view section, std::u16string_view key,
                 std::u16string_view value, NarrowText narrow);

}  // namespace zyv
