// The embedded payload and its staging file, against the archive file the build embedded.
#include "payload/stage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "payload/staging_file.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

namespace zyv {
namespace {

using test::ReadFileBytes;
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

/// The build's payload archive.
fs::path PayloadArchive() { return test::HostPath(ZYV_PAYLOAD_ARCHIVE); }

std::string Embedded() {
  const std::span<const unsigned char> bytes = EmbeddedPayload();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(EmbeddedPayload, IsTheArchiveTheBuildWasGiven) {
  const std::string archive = ReadFileBytes(PayloadArchive());
  ASSERT_GT(archive.size(), 32u) << PayloadArchive();
  EXPECT_EQ(archive.substr(0, 6), std::string("7z\xBC\xAF\x27\x1C", 6));
  EXPECT_TRUE(Embedded() == archive) << "embedded " << Embedded().size() << " bytes, archive "
                                     << archive.size();
}

/// A read-only part of this program's image, sixteen pages of a pattern no page of zeros matches.
constexpr std::size_t kImageSize = 64 * 1024;
constexpr unsigned char ImageByte(std::size_t i) { return static_cast<unsigned char>(i * 7 + i / 251 + 1); }
constexpr std::array<unsigned char, kImageSize> kImageBytes = [] {
  std::array<unsigned char, kImageSize> bytes{};
  for (std::size_t i = 0; i < kImageSize; ++i) bytes[i] = ImageByte(i);
  return bytes;
}();

#ifndef _WIN32
/// The bytes of the mapping holding address that are in this process's memory now (its Rss in
/// /proc/self/smaps), as opposed to read in again from the program file when touched.
std::size_t ResidentBytesAround(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long begin = 0, end = 0, kib = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &begin, &end) == 2 && line.find(':') > line.find(' ')) {
      inside = begin <= at && at < end;
    } else if (inside && std::sscanf(line.c_str(), "Rss: %lu kB", &kib) == 1) {
      return kib * 1024;
    }
  }
  return 0;
}
#endif

TEST(ReleaseImagePages, LetsGoOfTheWholePagesOnlyAndTheImageReadsTheSame) {
  // From an odd offset too: partial pages at either end hold other data and are kept.
  for (std::size_t offset : {std::size_t{0}, std::size_t{123}}) {
    // Read through volatile: the compiler knows the values and would not read them otherwise.
    const volatile unsigned char* image = kImageBytes.data();
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kImageSize; ++i) wrong += image[i] != ImageByte(i);
    EXPECT_EQ(wrong, 0u);  // and every page is in memory

    const std::span<const unsigned char> bytes = std::span<const unsigned char>(kImageBytes).subspan(offset);
#ifdef _WIN32
    // Wine keeps no working set to trim; what can be seen is that the thread's error is kept.
    SetLastError(ERROR_INVALID_DATA);
    ReleaseImagePages(bytes);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
#else
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const std::uintptr_t whole = ((start + bytes.size()) & ~(page - 1)) - ((start + page - 1) & ~(page - 1));
    const std::size_t before = ResidentBytesAround(bytes.data());
    ReleaseImagePages(bytes);
    EXPECT_EQ(before - ResidentBytesAround(bytes.data()), whole) << offset;
#endif
  }
  const volatile unsigned char* image = kImageBytes.data();
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kImageSize; ++i) wrong += image[i] != ImageByte(i);
  EXPECT_EQ(wrong, 0u);
}

TEST(StagePayload, WritesThePayloadByteForByte) {
  TempDir dir;
  ASSERT_EQ(StagePayload(dir.W(u"main.7z")), 1);
  EXPECT_TRUE(ReadFileBytes(dir.path() / "main.7z") == Embedded());
}

TEST(StagePayload, TruncatesAnExistingFileInsteadOfAppending) {
  TempDir dir;
  // Longer than the payload, so that left-over bytes past its end would show.
  WriteFileBytes(dir.path() / "main.7z", std::string(Embedded().size() + 4096, 'x'));
  ASSERT_EQ(StagePayload(dir.W(u"main.7z")), 1);
  EXPECT_TRUE(ReadFileBytes(dir.path() / "main.7z") == Embedded());
}

TEST(StagePayload, AnswersZeroWhenTheFileCannotBeCreated) {
  TempDir dir;
  EXPECT_EQ(StagePayload(dir.W(u"missing") + kPathSeparator + u"main.7z"), 0);
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));

  // A folder in the staging file's place stays as it was.
  fs::create_directory(dir.path() / "main.7z");
  WriteFileBytes(dir.path() / "main.7z" / "inside", "kept");
  EXPECT_EQ(StagePayload(dir.W(u"main.7z")), 0);
  EXPECT_EQ(ReadFileBytes(dir.path() / "main.7z" / "inside"), "kept");
}

#ifdef _WIN32
TEST(StagePayload, MarksTheStagingFileTemporary) {
  // Wine accepts FILE_ATTRIBUTE_TEMPORARY at creation but does not keep it.
  if (test::UnderWine()) GTEST_SKIP() << "Wine does not keep the temporary attribute";
  TempDir dir;
  ASSERT_EQ(StagePayload(dir.W(u"main.7z")), 1);
  const DWORD attributes = GetFileAttributesW((dir.path() / "main.7z").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_TEMPORARY, 0u);
}
#else
TEST(StagePayload, AnswersZeroWhenTheWriteIsIncomplete) {
  TempDir dir;
  // A file size limit below the payload's: the write fails with EFBIG, as on a full disk.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto handler = signal(SIGXFSZ, SIG_IGN);
  rlimit low = old;
  low.rlim_cur = Embedded().size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const int staged = StagePayload(dir.W(u"main.7z"));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(staged, 0);
}

#endif

// A link planted at the staging file's name: never written through. POSIX puts a file of its own
// in its place; Windows refuses it, and the run stops (see RunInstall).
TEST(StagePayload, NeverWritesThroughALinkAtItsName) {
  TempDir dir;
  WriteFileBytes(dir.path() / "users-file", "the user's own");
  test::PlantedLinks links;
  if (!links.Plant(dir.path() / "users-file", dir.path() / "main.7z")) GTEST_SKIP() << "no links here";
  const int staged = StagePayload(dir.W(u"main.7z"));
  const int error = LastSystemError();
  EXPECT_EQ(ReadFileBytes(dir.path() / "users-file"), "the user's own");
  if (kWindows) {
    EXPECT_EQ(staged, 0);
    EXPECT_EQ(error, LinkRefusedError());
    return;
  }
  EXPECT_EQ(staged, 1);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path() / "main.7z")));
  EXPECT_TRUE(ReadFileBytes(dir.path() / "main.7z") == Embedded());
#ifndef _WIN32
  // Another name of the user's file, and a link to where nothing is yet.
  fs::remove(dir.path() / "main.7z");
  fs::create_hard_link(dir.path() / "users-file", dir.path() / "main.7z");
  ASSERT_EQ(StagePayload(dir.W(u"main.7z")), 1);
  EXPECT_EQ(ReadFileBytes(dir.path() / "users-file"), "the user's own");
  EXPECT_EQ(fs::hard_link_count(dir.path() / "main.7z"), 1u);
  fs::remove(dir.path() / "main.7z");
  fs::create_symlink(dir.path() / "made-through-the-link", dir.path() / "main.7z");
  ASSERT_EQ(StagePayload(dir.W(u"main.7z")), 1);
  EXPECT_FALSE(fs::exists(dir.path() / "made-through-the-link"));
#endif
}

}  // namespace
}  // namespace zyv
