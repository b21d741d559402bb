// libFuzzer target for the streaming block decoder (payload/block_decoder.h), differential: the
// input is opened as an archive in memory the way the installer opens it, and every block that
// decodes small is decoded twice, by the streaming decoder and by the SDK's whole-block decoder
// (7zDec.c, here as SdkFolderDecode). The streaming decoder reads in a sequence of sizes from 1 byte
// to 2 MiB that the input's last bytes choose (so that every state is carried across calls
// somewhere, and reads of 64 KiB or more convert BCJ and ARM in the caller's buffer), from memory
// full of a pattern (a byte read before it is written would show). Any input must end in a code:
// no crash, no leak, no read or write out of bounds; the two codes must be the same or differ as
// block_decoder.h lists (tests/sdk_differences.h); and where both accept a block, their bytes must
// be the same. Inputs with the repair flag get their checksums made right first
// (repair_checksums.h).
#include <7z.h>
#include <7zCrc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/block_decoder.h"
#include "payload/open_archive.h"
#include "tests/fuzz/memory_stream.h"
#include "tests/fuzz/repair_checksums.h"
#include "tests/sdk_differences.h"

extern "C" SRes SdkFolderDecode(const CSzFolder* folder, const UInt64* packSizes, ILookInStream* stream,
                                UInt64 startPos, Byte* outBuffer, size_t outSize, ISzAlloc* allocMain);

namespace {

/// Blocks that decode to more are left alone: extract_fuzzer covers large ones.
constexpr UInt64 kMaxDecoded = 1 << 20;

/// The largest read.
constexpr std::size_t kMaxRead = std::size_t{2} << 20;

/// Four read sizes from the input's last 8 bytes, each 1 + a 12-bit value shifted by 0 to 9 bits:
/// from 1 byte to 2 MiB, as many small as large.
void ReadSizes(const unsigned char* data, std::size_t size, std::size_t (&sizes)[4]) {
  for (int k = 0; k < 4; ++k) {
    const std::size_t at = size >= 8 ? size - 8 + 2 * k : 0;
    const unsigned v = size >= 8 ? data[at] | data[at + 1] << 8 : 0;
    sizes[k] = 1 + (std::size_t{v & 0xFFF} << ((v >> 12) % 10));
  }
}

/// The input's bytes as the SDK's seekable stream and as the decoder's pack source.
struct Memory final : zyv::PackSource {
  zyv::fuzz::MemoryStream stream;

  Memory(const unsigned char* d, size_t n) : stream(d, n) {}

  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& n) override {
    const size_t size = stream.size;
    n = offset >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
    if (n != 0) std::memcpy(buffer, stream.data + offset, n);
    return SZ_OK;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CrcGenerateTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  zyv::fuzz::RepairChecksums(bytes);
  Memory memory(bytes.data(), bytes.size());
  CLookToRead look;
  LookToRead_CreateVTable(&look, False);
  look.realStream = &memory.stream.sdk;
  LookToRead_Init(&look);

  zyv::ReaderAllocators alloc;
  CSzArEx db;
  SzArEx_Init(&db);
  std::size_t steps[4];
  ReadSizes(data, size, steps);
  static std::vector<Byte> buffer(kMaxRead);
  std::vector<Byte> whole, streamed;
  if (zyv::OpenArchiveDatabase(&db, &look.s, alloc) == SZ_OK) {
    for (UInt32 f = 0; f < db.db.NumFolders; ++f) {
      CSzFolder& folder = db.db.Folders[f];
      const UInt64 unpacked = SzFolder_GetUnpackSize(&folder);
      if (unpacked > kMaxDecoded) continue;
      if (db.FolderStartPackStreamIndex == nullptr) {  // a header without files: no places in the file
        zyv::BlockDecoder decoder;
        if (decoder.Init(db, f, memory, alloc.Main()) != SZ_ERROR_ARCHIVE) std::abort();
        continue;
      }
      streamed.clear();
      zyv::BlockDecoder decoder;
      SRes res = decoder.Init(db, f, memory, &zyv::test::g_patterned);
      if (res != SZ_OK) {
        std::size_t got = 0;  // nothing is left of a decoder whose Init failed
        if (decoder.left() != 0 || decoder.Read(buffer.data(), 1, got) != SZ_ERROR_FAIL) std::abort();
      }
      for (std::size_t k = 0, got = 0, step = 0; res == SZ_OK && got == step; ++k) {
        step = steps[k % 4];
        res = decoder.Read(buffer.data(), step, got);
        streamed.insert(streamed.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
      }
      if (res == SZ_OK && (decoder.left() != 0 || streamed.size() != unpacked)) std::abort();
      whole.assign(static_cast<std::size_t>(unpacked), 0);
      const SRes sdk =
          SdkFolderDecode(&folder, db.db.PackSizes + db.FolderStartPackStreamIndex[f], &look.s,
                          SzArEx_GetFolderStreamPos(&db, f, 0), whole.data(), whole.size(), alloc.Main());
      if (!zyv::test::KnownDifference(folder, res, sdk)) std::abort();
      if (res == SZ_OK && sdk == SZ_OK && zyv::test::SdkBytesHold(folder) && streamed != whole) std::abort();
    }
  }
  SzArEx_Free(&db, alloc.Main());
  return 0;
}
