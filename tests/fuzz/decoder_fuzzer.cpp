// libFuzzer target for the streaming block decoder (payload/block_decoder.h), differential: the
// input is opened as an archive in memory the way the installer opens it, and every block that
// decodes small is decoded twice, by the streaming decoder (read in steps of a size the input
// chooses, so that every state is carried across calls somewhere) and by the SDK's whole-block
// decoder (7zDec.c, here as SdkFolderDecode). Any input must end in a code: no crash, no leak, no
// read or write out of bounds; and where both decoders accept a block, their bytes must be the
// same. Inputs with the repair flag get their checksums made right first (repair_checksums.h).
#include <7z.h>
#include <7zCrc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/block_decoder.h"
#include "payload/open_archive.h"
#include "tests/fuzz/repair_checksums.h"

extern "C" SRes SdkFolderDecode(const CSzFolder* folder, const UInt64* packSizes, ILookInStream* stream,
                                UInt64 startPos, Byte* outBuffer, size_t outSize, ISzAlloc* allocMain);

namespace {

/// Blocks that decode to more are left alone: extract_fuzzer covers large ones.
constexpr UInt64 kMaxDecoded = 1 << 20;

/// The input's bytes as the SDK's seekable stream and as the decoder's pack source.
struct Memory final : zyv::PackSource {
  struct Stream {
    ISeekInStream sdk;  // first: the SDK hands this pointer back
    Memory* memory;
  } stream{{Read, Seek}, this};
  const unsigned char* data;
  size_t size;
  size_t pos = 0;

  Memory(const unsigned char* d, size_t n) : data(d), size(n) {}

  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& n) override {
    n = offset >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
    if (n != 0) std::memcpy(buffer, data + offset, n);
    return SZ_OK;
  }
  static SRes Read(void* p, void* buf, size_t* n) {
    Memory* m = static_cast<Stream*>(p)->memory;
    *n = std::min(*n, m->size - m->pos);
    if (*n != 0) std::memcpy(buf, m->data + m->pos, *n);
    m->pos += *n;
    return SZ_OK;
  }
  static SRes Seek(void* p, Int64* pos, ESzSeek origin) {
    Memory* m = static_cast<Stream*>(p)->memory;
    const Int64 base = origin == SZ_SEEK_SET ? 0 : origin == SZ_SEEK_CUR ? Int64(m->pos) : Int64(m->size);
    if (*pos < -base || *pos > Int64(m->size) - base) return SZ_ERROR_READ;
    m->pos = static_cast<size_t>(base + *pos);
    *pos = Int64(m->pos);
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
  // The step the streaming decoder reads in: from 1 byte to 64 KiB, chosen by the input's tail.
  const std::size_t step = size < 2 ? 1 : 1 + ((std::size_t{data[size - 1]} << 8 | data[size - 2]) % 65536);
  std::vector<Byte> whole, streamed, buffer(step);
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
      SRes res = decoder.Init(db, f, memory, alloc.Main());
      for (std::size_t got = step; res == SZ_OK && got == step;) {
        res = decoder.Read(buffer.data(), step, got);
        streamed.insert(streamed.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
      }
      if (res == SZ_OK && (decoder.left() != 0 || streamed.size() != unpacked)) std::abort();
      whole.assign(static_cast<std::size_t>(unpacked), 0);
      const SRes sdk =
          SdkFolderDecode(&folder, db.db.PackSizes + db.FolderStartPackStreamIndex[f], &look.s,
                          SzArEx_GetFolderStreamPos(&db, f, 0), whole.data(), whole.size(), alloc.Main());
      if (res == SZ_OK && sdk == SZ_OK && streamed != whole) std::abort();
    }
  }
  SzArEx_Free(&db, alloc.Main());
  return 0;
}
