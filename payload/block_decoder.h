// Streaming decoder of one 7z solid block (a "folder" in the SDK's terms), from the archive file to
// the caller's buffer, in bounded memory.
//
// The pipeline. A block is one of the coder graphs 7-Zip writes, checked before anything is
// allocated (CheckBlock):
//   one coder            pack stream 0 -> copy | LZMA | LZMA2 -> output
//   coder + filter       pack stream 0 -> copy | LZMA | LZMA2 -> BCJ | ARM -> output
//   BCJ2                 pack streams 0, 2, 3 -> three copy | LZMA | LZMA2 coders -> the main, call
//                        and jump streams, pack stream 1 (range-coded) -> BCJ2 -> output
// Each stage pulls from the one below when it has nothing left to give, as a chain of plain
// calls on the caller's thread: a pack stream reads the archive file at its own offset
// (PackSource::ReadAt), so the four streams of a BCJ2 block, and the blocks that other threads
// decode, each keep their own place in the file. Nothing runs on other threads.
//
// Where the bytes live. A pack stream reads into a buffer of its own (256 KiB for the main coder,
// 64 KiB for the others). An LZMA or LZMA2 coder decodes into its dictionary
// (LzmaDec_DecodeToDic), at most kStep bytes a call, and the stage above reads them there. The
// dictionary is the coder's dictionary size, or the coder's whole output when that is smaller,
// as 7-Zip allocates it (so a small block costs little whatever -md said). It is not zeroed: the
// SDK's decoder (LzmaDec.c) reads the byte before dicPos only once a byte has been decoded since
// the dictionary was reset (processedPos or checkDicSize not 0), a match's bytes only at a
// distance below processedPos (or checkDicSize once it has wrapped), all of them written since,
// and dicPos wraps to 0 here only at the dictionary's end. The BCJ and ARM
// filters convert the caller's buffer in place, carrying the x86 converter's state and the last
// bytes of a call that cannot be converted yet (at most 4) to the next call. BCJ2 writes straight
// into the caller's buffer, keeping an address cut by its end for the next call.
//
// What bounds memory: the dictionaries (BlockNeed, what a caller budgets for), plus the coders'
// probability tables (28 KiB each for LZMA2; for LZMA 3.6 KiB + 1.5 KiB << (lc + lp): 16 KiB for
// 7-Zip's lc=3 lp=0, at most 6 MiB for the largest lc + lp, 12), at most 448 KiB of pack buffers,
// 64 KiB for a filter, and this object. Every read is capped by its pack stream's
// size and every coder's output by its unpack size; reading past a pack size never happens, and output past
// an unpack size is never asked for.
//
// The contract of Read, case by case (as zstd's ZSTD_decompressStream states its own):
//   - got == size: the buffer is full; call again for more;
//   - 0 < got < size, or got == 0 with size > 0: the block has ended (left() == 0) — a block
//     ends exactly at its unpack size, and got == 0 comes only after it;
//   - any error: the SDK's code (SZ_ERROR_DATA for damaged data, including a coder that makes no
//     progress or ends early; SZ_ERROR_INPUT_EOF for an archive file cut short;
//     SZ_ERROR_UNSUPPORTED for a coder or an arrangement it does not decode; SZ_ERROR_MEM for an
//     allocation refused); the decoder is then spent, and its output so far is to be discarded,
//     and left() is 0 after a failed Init. It is never resumed.
//
// Where the result differs from that of the SDK's whole-block decoder (7zDec.c), on purpose or
// because the two read a block in another order (block_decoder_test and decoder_fuzzer compare
// the two through this list, tests/sdk_differences.h):
//   1. The archive file ends inside an LZMA or LZMA2 pack stream: SZ_ERROR_INPUT_EOF here, the
//      code for an archive cut short; the SDK's look-ahead finds no more input and says
//      SZ_ERROR_DATA.
//   2. An LZMA stream that ends (an end mark) before its unpack size, or pack bytes left after a
//      stream's end: SZ_ERROR_DATA here. The SDK stops at the mark and leaves the rest of its
//      output as it was (the file's CRC fails later, code 3), and sees trailing bytes only within
//      its look-ahead window.
//   3. BCJ2's range-coded stream is read here only as far as the output needs it; the SDK reads
//      it whole first, so a stream damaged or cut beyond that point fails there alone.
//   4. A BCJ2 block with several faults: each decoder gives the first one it meets. The SDK
//      decodes the three coders whole, one after the other, before BCJ2; here they are decoded as
//      the output needs them, after Init has checked BCJ2's main stream against the block's size
//      (SZ_ERROR_PARAM, which the SDK gives when it reaches that coder).
//   5. Both succeed with other bytes where a forged BCJ2 block's coders give more than its output
//      (UnpackSizes[0] + [1] + [2] > the block's size): the SDK decodes the main stream into the
//      tail of its own output buffer, which BCJ2's output then overtakes. The bytes here are
//      BCJ2's over the streams as they are.
//   6. The SDK seeks to each pack stream before it checks anything of its coder; a stream that
//      cannot seek past its end (the tests' memory) fails that with SZ_ERROR_READ. Here a pack
//      stream is only read, at its offset: past the end, that is SZ_ERROR_INPUT_EOF.
#pragma once

#include <7z.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zyv {

/// Where a decoder reads its pack streams: the archive file, or memory in tests.
class PackSource {
 public:
  /// Reads up to size bytes at offset (from the archive file's start) into buffer; size receives
  /// the count read, 0 only at the end of the file. SZ_OK or SZ_ERROR_READ.
  virtual SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& size) = 0;

 protected:
  ~PackSource() = default;
};

/// What a block's decoding allocates that grows with the archive's settings: its coders'
/// dictionaries, each at most its coder's output (the rest, pack buffers and probability tables, is
/// bounded whatever the archive says: at most some 20 MiB for three coders of the largest lc + lp).
struct BlockNeed {
  std::uint64_t dictionaries = 0;
  std::uint64_t largest = 0;  ///< the largest of them
};

/// Whether folder's coders are an arrangement this decoder decodes: SZ_OK, SZ_ERROR_UNSUPPORTED (for
/// the coders, or for properties out of their range, as the SDK answers both), or SZ_ERROR_DATA for
/// coder properties of the wrong size; need receives what it allocates.
SRes CheckBlock(const CSzFolder& folder, BlockNeed& need);

/// Whether folder's coders and their arrangement are ones this decoder decodes, whatever their
/// properties: what tells CheckBlock's two SZ_ERROR_UNSUPPORTED apart.
bool DecodesCoders(const CSzFolder& folder);

/// The same for the block at folderIndex of db.
SRes CheckBlock(const CSzArEx& db, std::uint32_t folderIndex, BlockNeed& need);

/// The dictionaries the installer allows itself at once, whatever the number of blocks it decodes
/// side by side: a 32-bit process has 2 GiB of address space, and this leaves most of it free. A
/// block that needs more is decoded alone; one dictionary larger than kMaxAllocation (the same
/// size) is refused, by the installer (SZ_ERROR_MEM) and by the release check.
inline constexpr std::uint64_t kDictionaryBudget = std::uint64_t{256} << 20;

/// One block's decoder. Not copyable; used by one thread at a time.
class BlockDecoder {
 public:
  BlockDecoder();
  ~BlockDecoder();
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  /// Checks the block (CheckBlock) and allocates its stages with alloc, reading from source: the
  /// folder's pack streams lie one after the other from startPos, of packSizes (one a pack
  /// stream). folder, packSizes and source must outlive the decoder. SZ_OK or the SDK's code.
  SRes Init(const CSzFolder& folder, const UInt64* packSizes, std::uint64_t startPos, PackSource& source,
            ISzAlloc* alloc);

  /// The same for the block at folderIndex of db.
  SRes Init(const CSzArEx& db, std::uint32_t folderIndex, PackSource& source, ISzAlloc* alloc);

  /// Decodes up to size bytes of the block's output into out, got receiving the count (see the
  /// contract above).
  SRes Read(Byte* out, std::size_t size, std::size_t& got);

  /// The block's bytes not yet given.
  std::uint64_t left() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace zyv
