// ExtractArchive on damaged and hostile archives (tests/fixtures/make_bad_archives.py): each gives
// its defined result code, never a crash (and, in the sanitizer build, no leak or bad access), and
// nothing lands outside the destination. The release check (CheckArchive) reads each one too, and
// refuses it: none holds the product's layout.
#include <7zCrc.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "payload/archive_check.h"
#include "payload/extract.h"
#include "tests/fuzz/repair_checksums.h"
#include "tests/test_util.h"

namespace zyv {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::ToWString;

// The SDK's result codes.
constexpr int kOk = 0, kData = 1, kMem = 2, kCrc = 3, kUnsupported = 4, kParam = 5, kInputEof = 6, kFail = 11,
              kArchive = 16, kNoArchive = 17;

struct BadInput {
  const char* name;
  int code;
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

const BadInput kBadInputs[] = {
    // Cut at each boundary: inside the signature header, after it, inside and after the packed
    // streams, inside the header, one byte short.
    {"plain-cut-zero-bytes", kNoArchive},
    {"plain-cut-signature-only", kNoArchive},
    {"plain-cut-start-header-short", kNoArchive},
    {"plain-cut-start-header-only", kInputEof},
    {"plain-cut-mid-packed", kInputEof},
    {"plain-cut-packed-only", kInputEof},
    {"plain-cut-mid-header", kInputEof},
    {"plain-cut-last-byte-missing", kInputEof},
    {"packed-cut-zero-bytes", kNoArchive},
    {"packed-cut-signature-only", kNoArchive},
    {"packed-cut-start-header-short", kNoArchive},
    {"packed-cut-start-header-only", kInputEof},
    {"packed-cut-mid-packed", kInputEof},
    {"packed-cut-packed-only", kInputEof},
    {"packed-cut-mid-header", kInputEof},
    {"packed-cut-last-byte-missing", kInputEof},
    // A flipped bit in each part: signature, start header's checksum and fields (which its checksum
    // covers), packed data (stored: the file's checksum; compressed: the decoder), header (its
    // checksum).
    {"plain-flip-signature", kNoArchive},
    {"plain-flip-start-header-crc", kCrc},
    {"plain-flip-next-header-size", kCrc},
    {"plain-flip-next-header-crc", kCrc},
    {"plain-flip-packed", kCrc},
    {"plain-flip-header", kArchive},
    {"packed-flip-signature", kNoArchive},
    {"packed-flip-start-header-crc", kCrc},
    {"packed-flip-next-header-size", kCrc},
    {"packed-flip-next-header-crc", kCrc},
    {"packed-flip-packed", kData},
    {"packed-flip-header", kArchive},
    {"major-version-1", kUnsupported},
    // Checksums wrong where the bytes are right.
    {"next-header-crc-wrong", kArchive},
    {"file-crc-wrong", kCrc},
    // Declared sizes and counts far beyond the archive: no memory is taken for them. A count of
    // files with data beyond the streams described is refused by the header check (below).
    {"huge-file-count", kArchive},
    {"huge-folder-size", kData},  // streamed: no memory for it; the copy coder's pack stream is shorter
    {"huge-stream-count", kMem},
    {"huge-folder-count", kArchive},  // refused by the header check, which once took memory for it
    {"huge-next-header", sizeof(std::size_t) == 4 ? kMem : kInputEof},
    {"huge-next-offset", kInputEof},
    // Headers the SDK's reader would mishandle (read through a null or past its sizes, leak a
    // section read twice), refused by the header check.
    {"files-without-streams", kArchive},
    {"more-files-than-streams", kArchive},
    {"pack-info-twice", kArchive},
    {"names-twice", kArchive},
    // Coders the reader does not have, and encryption (of the data; of the header too).
    {"coder-bzip2", kUnsupported},
    {"coder-delta", kUnsupported},
    {"coder-aes", kUnsupported},
    {"coder-aes-header", kUnsupported},
    {"coder-ppmd-header", kUnsupported},
    {"not-an-archive", kNoArchive},
    // Accepted: the empty archive (7-Zip's form: no next header), an empty names table, and the
    // controls (the writer's own good archive, the 7zz archives before damage).
    {"empty-archive", kOk},
    {"names-empty", kOk},
    {"crafted-good", kOk},
    {"base-plain", kOk},
    {"base-packed-header", kOk},
};

class BadArchive : public testing::TestWithParam<BadInput> {};

TEST_P(BadArchive, GivesItsCodeAndWritesOnlyInsideTheDestination) {
  const BadInput& c = GetParam();
  const fs::path archive = test::HostPath(ZYV_BINARY_DIR "/bad_archives") / (std::string(c.name) + ".7z");
  ASSERT_TRUE(fs::exists(archive)) << archive;
  TempDir tmp;
  const ArchiveVerdict verdict = CheckArchive(ToWString(archive));
  EXPECT_FALSE(verdict.installable);
  EXPECT_FALSE(verdict.message.empty());
  EXPECT_EQ(ExtractArchive(tmp.W(u"dest"), ToWString(archive)), c.code);
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(tmp.path())) beside.push_back(e.path().filename().string());
  EXPECT_EQ(beside, std::vector<std::string>{"dest"});
  if (c.code == kOk) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(tmp.path() / "dest")) {
      tree[e.path().lexically_relative(tmp.path() / "dest").generic_string()] =
          fs::is_directory(e.path()) ? "<dir>" : ReadFileBytes(e.path());
    }
    if (std::string(c.name) == "crafted-good") {
      EXPECT_EQ(tree, (std::map<std::string, std::string>{{"a.txt", "hello, world\n"}}));
    } else if (std::string(c.name).rfind("base-", 0) == 0) {
      EXPECT_EQ(tree.size(), 2u);
    } else {
      EXPECT_TRUE(tree.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Extract, BadArchive, testing::ValuesIn(kBadInputs), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name) ch = ch == '-' ? '_' : ch;
  return name;
});

// Every input that ever crashed or hung a fuzz target, replayed through the optimised build (the
// sanitizer build replays them through the fuzzers): each ends in one of the codes ExtractArchive
// gives, and nothing lands beside the destination.
TEST(Extract, FuzzRegressionInputsGiveADefinedCode) {
  CrcGenerateTable();
  const fs::path folder = test::HostPath(ZYV_SOURCE_DIR "/tests/fuzz/regressions/archive");
  const std::set<int> defined = {kOk,       kData,    kMem,       kCrc,   kUnsupported,
                                 kInputEof, kArchive, kNoArchive, kParam, kFail};
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
    fuzz::RepairChecksums(bytes);
    TempDir tmp;
    {
      std::ofstream out(tmp.path() / "in.7z", std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const int code = ExtractArchive(tmp.W(u"dest"), tmp.W(u"in.7z"));
    EXPECT_TRUE(defined.count(code)) << entry.path() << " gave " << code;
    std::set<std::string> beside;
    for (const auto& e : fs::directory_iterator(tmp.path())) beside.insert(e.path().filename().string());
    EXPECT_EQ(beside, (std::set<std::string>{"dest", "in.7z"})) << entry.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace zyv
