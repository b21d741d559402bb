// UTF-16 <-> UTF-8 conversion with fixed 16-bit code units, the same on every host.
#pragma once

#include <string>
#include <string_view>

namespace zyv {

/// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; never fails.
std::string Utf16ToUtf8(std::u16string_view text);

/// UTF-8 to UTF-16. Each ill-formed sequence (overlong, surrogate, out of range, truncated)
/// becomes one U+FFFD; never fails.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace zyv
