// Wide to narrow conversion in a given code page; ToNarrowPath uses the ANSI one.
#pragma once

#include <string>

#include "platform/win32/wide.h"

namespace zyv::win32 {

/// text in code page cp; characters the code page cannot hold become '_'. Empty on failure.
std::string ToCodePage(UINT cp, const WString& text);

}  // namespace zyv::win32
