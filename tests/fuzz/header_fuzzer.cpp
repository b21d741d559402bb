// libFuzzer target for the archive reader alone, in memory: the input is opened as a database the
// way the installer opens it (OpenArchiveDatabase: its allocators, cap and checks), every name is
// read, and folders that decode small are decoded. No disk, so it runs many times faster than
// extract_fuzzer. Inputs with the repair flag get their checksums made right first
// (repair_checksums.h).
#include <7z.h>
#include <7zCrc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "payload/open_archive.h"
#include "tests/fuzz/memory_stream.h"
#include "tests/fuzz/repair_checksums.h"

namespace {

/// Folders that decode to more are left undecoded: extract_fuzzer covers large ones.
constexpr UInt64 kMaxDecoded = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CrcGenerateTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  zyv::fuzz::RepairChecksums(bytes);
  zyv::fuzz::MemoryStream memory(bytes.data(), bytes.size());
  CLookToRead look;
  LookToRead_CreateVTable(&look, False);
  look.realStream = &memory.sdk;
  LookToRead_Init(&look);

  zyv::ReaderAllocators alloc;
  CSzArEx db;
  SzArEx_Init(&db);
  if (zyv::OpenArchiveDatabase(&db, &look.s, alloc) == SZ_OK) {
    UInt32 block = 0xFFFFFFFF;
    Byte* out = nullptr;
    size_t out_size = 0;
    std::vector<UInt16> name;
    for (UInt32 i = 0; i < db.db.NumFiles; ++i) {
      name.resize(SzArEx_GetFileNameUtf16(&db, i, nullptr) + 1);
      SzArEx_GetFileNameUtf16(&db, i, name.data());
      const UInt32 folder = db.FileIndexToFolderIndexMap[i];
      if (folder == 0xFFFFFFFF || SzFolder_GetUnpackSize(&db.db.Folders[folder]) > kMaxDecoded) continue;
      size_t offset = 0, length = 0;
      if (SzArEx_Extract(&db, &look.s, i, &block, &out, &out_size, &offset, &length, alloc.Main(),
                         alloc.Temp()) != SZ_OK) {
        break;
      }
      // The file's bytes lie inside the decoded folder: ASan checks its ends.
      if (length != 0) {
        volatile Byte ends = static_cast<Byte>(out[offset] ^ out[offset + length - 1]);
        (void)ends;
      }
    }
    IAlloc_Free(alloc.Main(), out);
  }
  SzArEx_Free(&db, alloc.Main());
  return 0;
}
