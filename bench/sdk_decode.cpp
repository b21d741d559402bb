// sdk_decode ARCHIVE: decodes every file of a 7z archive the way ExtractArchive does (the SDK's
// file stream, its 16 KiB look-to-read buffer without look-ahead, the cached solid block, large
// pages asked for blocks of 4 MiB and more, every checksum checked) and writes nothing. Timed beside
// `7zz t -mmt=1`, it tells how much of an extraction is the decoder's, and the benchmark builds it
// with the SDK at several optimisation levels. Exits with the SDK's result code.
#include <7z.h>
#include <7zCrc.h>
#include <7zFile.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

void* Alloc(void*, size_t size) {
  void* block = size == 0 ? nullptr : std::malloc(size);
  if (block != nullptr && size >= (size_t{4} << 20)) zyv::PreferLargePages(block, size);
  return block;
}
void Free(void*, void* block) { std::free(block); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: sdk_decode ARCHIVE\n", stderr);
    return 64;
  }
  ISzAlloc alloc = {Alloc, Free};
  CFileInStream archive;
  CLookToRead look;
  if (InFile_Open(&archive.file, argv[1]) != 0) return SZ_ERROR_DATA;
  FileInStream_CreateVTable(&archive);
  LookToRead_CreateVTable(&look, False);
  look.realStream = &archive.s;
  LookToRead_Init(&look);
  CrcGenerateTable();

  CSzArEx db;
  SzArEx_Init(&db);
  SRes res = SzArEx_Open(&db, &look.s, &alloc, &alloc);
  UInt32 block = 0xFFFFFFFF;
  Byte* out = nullptr;
  size_t outSize = 0;
  unsigned long long total = 0;
  for (UInt32 i = 0; res == SZ_OK && i < db.db.NumFiles; ++i) {
    if (db.db.Files[i].IsDir || db.FileIndexToFolderIndexMap[i] == 0xFFFFFFFF) continue;
    size_t offset = 0, size = 0;
    res = SzArEx_Extract(&db, &look.s, i, &block, &out, &outSize, &offset, &size, &alloc, &alloc);
    total += size;
  }
  IAlloc_Free(&alloc, out);
  SzArEx_Free(&db, &alloc);
  File_Close(&archive.file);
  if (res == SZ_OK && std::getenv("SDK_DECODE_VERBOSE") != nullptr) std::printf("%llu bytes\n", total);
  return res;
}
