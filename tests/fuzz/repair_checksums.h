// The fuzz inputs' checksum repair, shared by the archive fuzzers and the regression replay.
//
// The reader checks the header's checksums before it parses anything, which would stop almost
// every mutation of the header at the checksum. So an input whose minor version byte (which the
// reader ignores) has its top bit set gets both checksums of its signature header recomputed, and
// the mutations reach the parser; the seeds come in both forms.
#pragma once

#include <7zCrc.h>

#include <algorithm>
#include <vector>

namespace zyv::fuzz {

/// With the repair flag set (see above), the next header's and the start header's CRCs made right.
/// CrcGenerateTable must have run.
inline void RepairChecksums(std::vector<unsigned char>& b) {
  static const unsigned char kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  if (b.size() < 32 || !std::equal(kSignature, kSignature + 6, b.begin()) || (b[7] & 0x80) == 0) return;
  const auto le64 = [&](size_t at) {
    UInt64 v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
  };
  const auto put32 = [&](size_t at, UInt32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  const UInt64 offset = le64(12);
  const UInt64 length = le64(20);
  if (offset <= b.size() - 32 && length <= b.size() - 32 - offset) {
    put32(28, CrcCalc(&b[32 + offset], static_cast<size_t>(length)));
  }
  put32(8, CrcCalc(&b[12], 20));
}

}  // namespace zyv::fuzz
