#include "payload/open_archive.h"

#include <7zCrc.h>

#include <cstdlib>

#include "payload/block_decoder.h"
#include "platform/platform.h"

namespace zyv {
namespace {

/// The reader's look-ahead stream as a pack source, for the archive's encoded header.
struct LookSource final : PackSource {
  explicit LookSource(ILookInStream* s) : stream(s) {}
  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& size) override {
    if (const SRes res = LookInStream_SeekTo(stream, offset); res != SZ_OK) return res;
    return stream->Read(stream, buffer, &size);
  }
  ILookInStream* stream;
};

/// From this size on a block is an LZMA dictionary, written end to end and read back at random:
/// such blocks ask for large pages.
constexpr std::size_t kLargeBlock = std::size_t{4} << 20;

void* Allocate(void* self, std::size_t size) {
  if (size == 0 || size > kMaxAllocation) return nullptr;
  const bool zeroed = static_cast<ReaderAlloc*>(self)->zeroed;
  void* block = zeroed ? std::calloc(1, size) : std::malloc(size);
  if (block != nullptr && size >= kLargeBlock) PreferLargePages(block, size);
  return block;
}

void Free(void*, void* block) { std::free(block); }

}  // namespace

ArchiveReader::ArchiveReader() {
  File_Construct(&archive.file);
  SzArEx_Init(&db);
}

ArchiveReader::~ArchiveReader() {
  SzArEx_Free(&db, alloc.Main());
  File_Close(&archive.file);
}

ILookInStream* ArchiveReader::Attach(ISeekInStream* through) {
  FileInStream_CreateVTable(&archive);
  LookToRead_CreateVTable(&look, False);
  look.realStream = through != nullptr ? through : &archive.s;
  LookToRead_Init(&look);
  return &look.s;
}

// The main allocator hands out zeroed memory: the file table it allocates is then fully defined
// even where a damaged header leaves a field unset, and reads the same on every run.
ReaderAllocators::ReaderAllocators()
    : main{{Allocate, Free}, true}, temp{{Allocate, Free}, false}, decoders{{Allocate, Free}, false} {}

SRes OpenArchiveDatabase(CSzArEx* db, ILookInStream* stream, ReaderAllocators& alloc) {
  static const bool crc_table = (CrcGenerateTable(), true);
  (void)crc_table;
  if (const SRes res = SzArEx_Open(db, stream, alloc.Main(), alloc.Temp()); res != SZ_OK) return res;
  // Without the names property there is nothing to place an entry by.
  if (db->db.NumFiles > 0 && db->FileNameOffsets == nullptr) return SZ_ERROR_ARCHIVE;
  return SZ_OK;
}

}  // namespace zyv

/// The SDK's reader decodes the archive's encoded header through this function: it is the
/// streaming decoder's here (defined beside OpenArchiveDatabase, so that whatever opens a database
/// links it), and the SDK's whole-block decoder (7zDec.c) is not part of the program.
extern "C" SRes SzFolder_Decode(const CSzFolder* folder, const UInt64* packSizes, ILookInStream* stream,
                                UInt64 startPos, Byte* outBuffer, size_t outSize, ISzAlloc* allocMain) {
  zyv::LookSource source(stream);
  zyv::BlockDecoder decoder;
  if (const SRes res = decoder.Init(*folder, packSizes, startPos, source, allocMain); res != SZ_OK)
    return res;
  if (decoder.left() != outSize) return SZ_ERROR_PARAM;
  std::size_t got = 0;
  if (const SRes res = decoder.Read(outBuffer, outSize, got); res != SZ_OK) return res;
  return got == outSize ? SZ_OK : SZ_ERROR_DATA;
}
