// The streaming block decoder beside the SDK's whole-block decoder (7zDec.c): where their results
// may differ, the list block_decoder.h gives, for the tests that compare the two (block_decoder_test
// and decoder_fuzzer). Anything else is a fault of one of them.
#pragma once

#include <7z.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zyv::test {

/// Whether the streaming decoder's code ours and the SDK's code sdk for folder differ, if they
/// do, in one of the ways block_decoder.h lists (its numbers below).
inline bool KnownDifference(const CSzFolder& folder, SRes ours, SRes sdk) {
  if (ours == sdk) return true;
  bool lzma = false;
  for (std::uint32_t c = 0; c < folder.NumCoders; ++c) {
    lzma = lzma || folder.Coders[c].MethodID == 0x030101 || folder.Coders[c].MethodID == 0x21;
  }
  const bool bcj2 = folder.NumCoders == 4;
  if (sdk == SZ_ERROR_READ) return true;  // 6: the SDK's seek past the end of its stream
  if (ours == SZ_ERROR_INPUT_EOF && sdk == SZ_ERROR_DATA) return lzma;  // 1: the file ends in an LZMA stream
  if (ours == SZ_ERROR_DATA && sdk == SZ_OK) return lzma;  // 2: an early end mark, or bytes after the end
  if (ours == SZ_OK) return bcj2;                          // 3: BCJ2's range stream beyond what is read
  return bcj2 && sdk != SZ_OK;  // 4: the first of several faults, met in another order
}

/// Whether the SDK's bytes for folder, a block both decoders accept, are its own to trust: not so
/// for a forged BCJ2 block whose coders give more than its output (5 in block_decoder.h), where the
/// SDK's BCJ2 output overtakes the main stream it decoded into the tail of the same buffer.
inline bool SdkBytesHold(const CSzFolder& folder) {
  if (folder.NumCoders != 4) return true;
  const UInt64 out = SzFolder_GetUnpackSize(const_cast<CSzFolder*>(&folder));
  const UInt64* sizes = folder.UnpackSizes;
  return sizes[2] <= out && sizes[0] <= out - sizes[2] && sizes[1] <= out - sizes[2] - sizes[0];
}

/// Memory full of a pattern, where the SDK's whole-block decoder reads zeroes (its output buffer):
/// a decoder that read a dictionary byte it had not written would give other bytes than the SDK's.
inline void* Patterned(void*, std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) std::memset(block, 0xA5, size);
  return block;
}
inline void FreePatterned(void*, void* block) { std::free(block); }
inline ISzAlloc g_patterned = {Patterned, FreePatterned};

}  // namespace zyv::test
