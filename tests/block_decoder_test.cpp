// The streaming block decoder against the SDK's own whole-block decoder (7zDec.c, linked here
// alone as SdkFolderDecode), block by block, on every fixture archive, the damaged and hostile ones
// too: the same bytes, or the same code but for the differences block_decoder.h lists, whatever
// size the caller reads in. ZYV_DECODER_ARCHIVES (paths separated by ':') adds archives, such as
// bench/run's payloads.
#include "payload/block_decoder.h"

#include <7zCrc.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/open_archive.h"
#include "tests/fuzz/memory_stream.h"
#include "tests/sdk_differences.h"
#include "tests/test_util.h"

extern "C" SRes SdkFolderDecode(const CSzFolder* folder, const UInt64* packSizes, ILookInStream* stream,
                                UInt64 startPos, Byte* outBuffer, size_t outSize, ISzAlloc* allocMain);

namespace zyv {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kRoot = "Z:";  // the Linux root under Wine
#else
constexpr const char* kRoot = "";
#endif

/// An archive's bytes, as the SDK's stream and as a pack source that may end early.
struct Memory final : PackSource {
  std::string bytes;
  fuzz::MemoryStream stream{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
  std::uint64_t cut = ~std::uint64_t{0};  // the pack source's file ends here

  explicit Memory(std::string b) : bytes(std::move(b)) {}
  Memory(const Memory&) = delete;  // stream points into bytes
  Memory& operator=(const Memory&) = delete;

  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& size) override {
    const std::uint64_t end = std::min<std::uint64_t>(bytes.size(), cut);
    size = offset >= end ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, end - offset));
    if (size != 0) std::memcpy(buffer, bytes.data() + offset, size);
    return SZ_OK;
  }
};

/// An archive opened as the installer opens it.
struct Opened {
  Memory memory;
  CLookToRead look;
  ReaderAllocators alloc;
  CSzArEx db;
  SRes open;

  explicit Opened(const fs::path& path) : memory(test::ReadFileBytes(path)) {
    CrcGenerateTable();
    LookToRead_CreateVTable(&look, False);
    look.realStream = &memory.stream.sdk;
    LookToRead_Init(&look);
    SzArEx_Init(&db);
    open = OpenArchiveDatabase(&db, &look.s, alloc);
  }
  ~Opened() { SzArEx_Free(&db, alloc.Main()); }

  /// The SDK's whole-block decoding of block f: its code, and its bytes when SZ_OK.
  SRes Whole(UInt32 f, std::string& out) {
    CSzFolder& folder = db.db.Folders[f];
    out.assign(static_cast<std::size_t>(SzFolder_GetUnpackSize(&folder)), '\0');
    const UInt64* packSizes = db.db.PackSizes + db.FolderStartPackStreamIndex[f];
    return SdkFolderDecode(&folder, packSizes, &look.s, SzArEx_GetFolderStreamPos(&db, f, 0),
                           reinterpret_cast<Byte*>(out.data()), out.size(), alloc.Main());
  }

  /// The streaming decoding of block f, read step bytes at a time, its memory not zeroed.
  SRes Streamed(UInt32 f, std::size_t step, std::string& out) {
    out.clear();
    BlockDecoder decoder;
    std::vector<Byte> buffer(step);
    if (const SRes res = decoder.Init(db, f, memory, &test::g_patterned); res != SZ_OK) {
      // Nothing of a decoder whose Init failed is left to read from.
      std::size_t got = 0;
      EXPECT_EQ(decoder.left(), 0u);
      EXPECT_EQ(decoder.Read(buffer.data(), step, got), SZ_ERROR_FAIL);
      return res;
    }
    for (;;) {
      std::size_t got = 0;
      if (const SRes res = decoder.Read(buffer.data(), step, got); res != SZ_OK) return res;
      out.append(reinterpret_cast<const char*>(buffer.data()), got);
      if (got < step) break;
    }
    EXPECT_EQ(decoder.left(), 0u);
    return SZ_OK;
  }
};

std::vector<fs::path> Archives() {
  std::vector<fs::path> all;
  for (const char* folder : {"/extract_fixtures/archives", "/bad_archives"}) {
    for (const auto& e : fs::directory_iterator(fs::path(std::string(kRoot) + ZYV_BINARY_DIR + folder))) {
      if (e.path().extension() == ".7z") all.push_back(e.path());
    }
  }
  std::sort(all.begin(), all.end());
  if (const char* extra = std::getenv("ZYV_DECODER_ARCHIVES")) {
    for (std::string list = extra; !list.empty();) {
      const std::size_t colon = list.find(':');
      all.push_back(std::string(kRoot) + list.substr(0, colon));
      list = colon == std::string::npos ? "" : list.substr(colon + 1);
    }
  }
  return all;
}

// Every block of every archive: the same code as the SDK but for the known differences, and when
// both succeed the same bytes, read a byte at a time (every state carried across calls: a BCJ2
// address, the x86 converter's look-ahead, an LZMA match), at an odd size, and in the installer's
// chunks (BCJ and ARM converted in the caller's buffer).
TEST(BlockDecoder, DecodesEveryBlockAsTheSdksWholeBlockDecoder) {
  int blocks = 0, bcj2 = 0, failing = 0;
  for (const fs::path& path : Archives()) {
    SCOPED_TRACE(path.string());
    Opened a(path);
    if (a.open != SZ_OK) continue;  // cut short before its header: nothing to decode
    for (UInt32 f = 0; f < a.db.db.NumFolders; ++f) {
      SCOPED_TRACE("block " + std::to_string(f));
      // A forged size no allocation of the installer's could hold: refused before any decoding.
      if (SzFolder_GetUnpackSize(&a.db.db.Folders[f]) > kMaxAllocation) continue;
      std::string whole;
      const SRes want = a.Whole(f, whole);
      const bool large = whole.size() > (std::size_t{4} << 20);
      for (const std::size_t step : {std::size_t{1}, std::size_t{4099}, std::size_t{1} << 20}) {
        if (step == 1 && large) continue;  // a byte at a time is for the small blocks
        std::string streamed;
        const SRes got = a.Streamed(f, step, streamed);
        ASSERT_TRUE(test::KnownDifference(a.db.db.Folders[f], got, want))
            << "read " << step << " at a time: " << got << ", the SDK " << want;
        if (got == SZ_OK && want == SZ_OK && test::SdkBytesHold(a.db.db.Folders[f])) {
          ASSERT_TRUE(streamed == whole) << "read " << step << " at a time";
        }
      }
      ++blocks;
      bcj2 += a.db.db.Folders[f].NumCoders == 4 ? 1 : 0;
      failing += want != SZ_OK ? 1 : 0;
    }
  }
  EXPECT_GE(blocks, 80);
  EXPECT_GE(bcj2, 2);
  EXPECT_GE(failing, 10);  // the flipped and damaged archives' blocks, PPMd, Deflate, the bad archives
}

// An archive file that ends inside a pack stream: the decoder says so, wherever it is cut, and
// for every arrangement (a BCJ2 block's four streams are cut at different places).
TEST(BlockDecoder, AFileCutShortIsInputEof) {
  for (const char* name : {"lzma2", "lzma", "copy", "lzma2-bcj", "bcj2-lzma2", "bcj2-lzma", "large-lzma",
                           "large-lzma2", "large-bcj2"}) {
    SCOPED_TRACE(name);
    Opened a(fs::path(std::string(kRoot) + ZYV_BINARY_DIR "/extract_fixtures/archives") /
             (std::string(name) + ".7z"));
    ASSERT_EQ(a.open, SZ_OK);
    const UInt64 start = SzArEx_GetFolderStreamPos(&a.db, 0, 0);
    UInt64 packed = 0;
    for (UInt32 i = 0; i < a.db.db.Folders[0].NumPackStreams; ++i) packed += a.db.db.PackSizes[i];
    for (const UInt64 cut : {start, start + packed / 3, start + packed - 1}) {
      a.memory.cut = cut;
      std::string out;
      EXPECT_EQ(a.Streamed(0, 1 << 16, out), SZ_ERROR_INPUT_EOF) << "cut at " << cut;
    }
  }
}

// What a block's decoding allocates with the archive's settings: no more than its output where
// that is smaller than the dictionary (7zz's default for these is 16 MiB or more), none for
// copy, and the
// arrangements the decoder does not decode refused before anything is allocated.
TEST(BlockDecoder, NeedsAtMostItsOutputAndRefusesOtherCoders) {
  const struct {
    const char* archive;
    SRes check;
  } cases[] = {{"lzma", SZ_OK}, {"lzma2-bcj", SZ_OK},           {"bcj2-lzma2", SZ_OK},
               {"copy", SZ_OK}, {"ppmd", SZ_ERROR_UNSUPPORTED}, {"deflate", SZ_ERROR_UNSUPPORTED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    Opened a(fs::path(std::string(kRoot) + ZYV_BINARY_DIR "/extract_fixtures/archives") /
             (std::string(c.archive) + ".7z"));
    ASSERT_EQ(a.open, SZ_OK);
    BlockNeed need;
    ASSERT_EQ(CheckBlock(a.db, 0, need), c.check);
    if (c.check != SZ_OK) {
      BlockDecoder decoder;
      EXPECT_EQ(decoder.Init(a.db, 0, a.memory, a.alloc.Main()), c.check);
      continue;
    }
    const CSzFolder& folder = a.db.db.Folders[0];
    UInt64 size = SzFolder_GetUnpackSize(const_cast<CSzFolder*>(&folder));
    if (folder.NumCoders == 4) size = folder.UnpackSizes[0] + folder.UnpackSizes[1] + folder.UnpackSizes[2];
    EXPECT_LE(need.dictionaries, size + 3);  // a coder of no output has a dictionary of one byte
    EXPECT_LE(need.largest, need.dictionaries);
    EXPECT_EQ(need.dictionaries == 0, std::string(c.archive) == "copy");
  }
}

}  // namespace
}  // namespace zyv
