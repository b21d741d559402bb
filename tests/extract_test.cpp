// ExtractArchive against 7zz's own extraction of the same archives, and the ways it must fail.
// The archives and reference trees come from tests/fixtures/make_archives.py, run before these tests.
#include "payload/extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/worker_pool.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// Every allocation through operator new is counted, and the one numbered g_refusedNew (from 1, since
// g_newCalls was last set to 0) is refused: see EachAllocationRefusedInTurn below. ThreadSanitizer's
// runtime defines operator new itself, and keeps it: there the test is skipped.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZYV_KEEPS_OPERATOR_NEW 1
#endif
#endif
#ifndef ZYV_KEEPS_OPERATOR_NEW
namespace {
std::atomic<long> g_newCalls{0};
std::atomic<long> g_refusedNew{0};

// Out of line, so that the compiler does not pair an inlined free with a new expression.
[[gnu::noinline]] void FreeBlock(void* block) noexcept { std::free(block); }
}  // namespace

void* operator new(std::size_t size) {
  const long call = g_newCalls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (call == g_refusedNew.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return ::operator new(size, nothrow);
}
void operator delete(void* block) noexcept { FreeBlock(block); }
void operator delete[](void* block) noexcept { FreeBlock(block); }
void operator delete(void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete[](void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }
#endif

namespace zyv {
namespace {

namespace fs = std::filesystem;
using test::Differences;
using test::ReadFileBytes;
using test::ReadTree;
using test::TempDir;
using test::ToWString;
using test::Tree;
using test::WriteFileBytes;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

fs::path Fixtures() {
  // Made natively; under Wine the Linux root is drive Z:.
  return fs::path((kWindows ? "Z:" : "") + std::string(ZYV_BINARY_DIR "/extract_fixtures"));
}

WString Archive(const std::string& name) { return ToWString(Fixtures() / "archives" / (name + ".7z")); }

Tree Reference(const std::string& name) { return ReadTree(Fixtures() / "reference" / name, true); }

// ---- Every coder arrangement, folder layout and header form gives 7zz's tree ----

class ExtractsLike7zz : public testing::TestWithParam<const char*> {};

TEST_P(ExtractsLike7zz, SameNamesAndBytes) {
  TempDir tmp;
  ASSERT_EQ(ExtractArchive(tmp.W(u"out"), Archive(GetParam())), 0);
  EXPECT_EQ(Differences(ReadTree(tmp.path() / "out", true), Reference(GetParam())),
            std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Archives, ExtractsLike7zz,
                         testing::Values("copy", "lzma", "lzma2", "copy-bcj", "lzma-bcj", "lzma2-bcj",
                                         "copy-arm", "lzma-arm", "lzma2-arm", "bcj2-lzma2", "bcj2-lzma",
                                         "lzma2-nonsolid", "lzma-3files", "lzma2-plainheader", "files-only",
                                         "folders-only", "interleaved-empty", "folder-order", "large-lzma",
                                         "large-lzma2", "large-bcj2"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

/// The reports of an extraction's progress.
struct ProgressRecorder final : ProgressSink {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  void Report(std::uint64_t done, std::uint64_t total) override { reports.emplace_back(done, total); }

  /// Checks that every byte of the archive (of size bytes) was counted once: every report is of
  /// size, each tells more than the one before, and the last one the whole file (a block counted
  /// twice would reach it early, and report it again).
  void CheckCountedOnce(std::uint64_t size) const {
    ASSERT_FALSE(reports.empty());
    std::uint64_t last = 0;
    for (const auto& [done, total] : reports) {
      EXPECT_EQ(total, size);
      EXPECT_GT(done, last);
      last = done;
    }
    EXPECT_EQ(last, size);
  }
};

// The bytes of the archive file read, as it goes: a BCJ2 block's four streams, blocks side by side,
// and a block decoded again in a second round (clashes writes dup.txt twice, and fails later on).
TEST(ExtractArchive, ReportsHowMuchOfTheArchiveItHasRead) {
  for (const char* name : {"bcj2-lzma2", "lzma2-nonsolid", "clashes"}) {
    SCOPED_TRACE(name);
    ProgressRecorder recorder;
    TempDir tmp;
    const WString archive = Archive(name);
    ExtractArchive(tmp.W(), archive, nullptr, &recorder);
    recorder.CheckCountedOnce(fs::file_size(test::ToPath(archive)));
  }
}

// An update beside an installation ("installed"): what is already there is left out, and a block
// whose files all are is not even decoded, so that the copy of the archive with its blocks damaged
// throughout (NAME-damaged) still extracts. An empty file has no checksum and is always written,
// even one its block lists, without keeping the block decoded. The progress reaches the archive's
// size all the same, each byte counted once.
TEST(ExtractArchive, LeavesOutWhatIsAlreadyThereAndDecodesNoBlockWhoseFilesAllAre) {
  const struct {
    const char* archive;
    std::vector<std::string> changed;  // installed files given other bytes of the same size
    bool linked;                       // dudizu/lib/core.dll installed as a link to its bytes
    const char* never;
    bool damaged;  // extracted from the copy with damaged blocks
    std::vector<std::string> written;
  } cases[] = {
      {"lzma-3files", {}, false, "", true, {"dudizu/data/empty.txt"}},
      // A file with other bytes, and on POSIX a link to the same bytes: both written again.
      {"lzma-3files",
       {"dudizu/data/big.txt"},
       !kWindows,
       "",
       false,
       kWindows
           ? std::vector<std::string>{"dudizu/data/big.txt", "dudizu/data/empty.txt"}
           : std::vector<std::string>{"dudizu/data/big.txt", "dudizu/data/empty.txt", "dudizu/lib/core.dll"}},
      // A file not wanted is neither written nor listed, and its block counts as there.
      {"lzma-3files", {}, false, "dudizu/data/big.txt", true, {"dudizu/data/empty.txt"}},
      // The block decoded for its first file alone: the empty files it lists are written all the same.
      {"interleaved-empty",
       {"a.txt"},
       false,
       "",
       false,
       {"a.txt", "dir/empty", "dir/last.txt", "empty.txt", "in-block.txt"}},
      {"interleaved-empty", {}, false, "", true, {"dir/empty", "dir/last.txt", "empty.txt", "in-block.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + (c.damaged ? " damaged" : "") + " never " + c.never);
    TempDir tmp;
    ASSERT_EQ(ExtractArchive(tmp.W(u"installed"), Archive(c.archive)), 0);
    const fs::path installed = tmp.path() / "installed";
    for (const std::string& name : c.changed) {
      std::string bytes = ReadFileBytes(installed / name);
      bytes[bytes.size() / 2] ^= 1;
      WriteFileBytes(installed / name, bytes);
    }
#ifndef _WIN32
    if (c.linked) {
      fs::rename(installed / "dudizu" / "lib" / "core.dll", tmp.path() / "core.dll");
      fs::create_symlink(tmp.path() / "core.dll", installed / "dudizu" / "lib" / "core.dll");
    }
#endif
    const WString archive = Archive(std::string(c.archive) + (c.damaged ? "-damaged" : ""));
    AlreadyThere there{tmp.W(u"installed") + kPathSeparator, {}, Utf8ToUtf16(c.never), {}};
    ProgressRecorder recorder;
    ASSERT_EQ(ExtractArchive(tmp.W(u"out"), archive, nullptr, &recorder, &there), 0);
    recorder.CheckCountedOnce(fs::file_size(test::ToPath(archive)));
    std::vector<std::string> written;
    for (const auto& [name, bytes] : ReadTree(tmp.path() / "out")) {
      if (bytes != "<dir>") {
        written.push_back(name);
        EXPECT_EQ(bytes, ReadFileBytes(Fixtures() / "reference" / c.archive / name)) << name;
      }
    }
    EXPECT_EQ(written, c.written);
    // A folder that is there is not made again: only those of files written anew are.
    for (const auto& [name, bytes] : ReadTree(tmp.path() / "out")) {
      const std::string folder = name + "/";
      if (bytes == "<dir>") {
        EXPECT_TRUE(std::any_of(written.begin(), written.end(), [&](const std::string& w) {
          return w.starts_with(folder);
        })) << name;
      }
    }
    std::vector<std::string> kept;
    for (const KeptEntry& k : there.kept) {
      if (!k.folder) kept.push_back(Utf16ToUtf8(k.name));
    }
    for (const std::string& name : c.written)
      EXPECT_EQ(std::count(kept.begin(), kept.end(), name), 0) << name;
    std::size_t files = 0;
    for (const auto& [name, bytes] : Reference(c.archive))
      files += bytes != "<dir>" && name != c.never ? 1 : 0;
    EXPECT_EQ(written.size() + kept.size(), files);
  }
}

TEST(ExtractArchive, DestinationWithOrWithoutSeparatorAndMissingLevels) {
  TempDir tmp;
  const Tree want = Reference("lzma2");
  ASSERT_EQ(ExtractArchive(tmp.W(u"plain"), Archive("lzma2")), 0);
  ASSERT_EQ(ExtractArchive(tmp.W(u"sep") + kPathSeparator, Archive("lzma2")), 0);
  ASSERT_EQ(ExtractArchive(tmp.W(u"a") + kPathSeparator + u"b" + kPathSeparator + u"c", Archive("lzma2")), 0);
  EXPECT_EQ(Differences(ReadTree(tmp.path() / "plain", true), want), std::vector<std::string>{});
  EXPECT_EQ(Differences(ReadTree(tmp.path() / "sep", true), want), std::vector<std::string>{});
  EXPECT_EQ(Differences(ReadTree(tmp.path() / "a" / "b" / "c", true), want), std::vector<std::string>{});
}

// ---- Attributes ----

#ifdef _WIN32
// What a file's attributes read back as after word was applied. Wine keeps only read-only, hidden
// and system, and reports every file as archive.
DWORD AsStored(DWORD word) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return word;
  return (word & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) |
         FILE_ATTRIBUTE_ARCHIVE;
}

TEST(ExtractArchive, StoredAttributesExactlyAbsentOnesAsCreated) {
  TempDir tmp;
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("attributes")), 0);
  auto attrib = [&](const char16_t* name) {
    return GetFileAttributesW(reinterpret_cast<const wchar_t*>(tmp.W(name).c_str()));
  };
  EXPECT_EQ(attrib(u"attr\\archive-nci.txt"), AsStored(0x2020));
  EXPECT_EQ(attrib(u"attr\\hidden-system.txt"), AsStored(0x26));
  EXPECT_EQ(attrib(u"attr\\readonly.txt"), AsStored(0x21));
  // CreateFileW's FILE_ATTRIBUTE_NORMAL: a new file reads back as archive only.
  EXPECT_EQ(attrib(u"attr\\none.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

  // The next installation replaces them all (CREATE_ALWAYS alone refuses read-only, hidden and
  // system files), and they get their attributes again.
  WriteFileBytes(tmp.path() / "attr" / "readonly.txt.stale", "");
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("attributes")), 0);
  EXPECT_EQ(attrib(u"attr\\hidden-system.txt"), AsStored(0x26));
  EXPECT_EQ(attrib(u"attr\\readonly.txt"), AsStored(0x21));
}

TEST(ExtractArchive, AFileHeldOpenWithoutWriteSharingFailsItsEntryAndStaysAsItWas) {
  // As a running program's image. The installer never meets this (it unpacks into a folder of its
  // own and moves files in), but the extraction on its own must say so rather than lose the file.
  TempDir tmp;
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("lzma2")), 0);
  const WString held = tmp.W(u"dudizu\\config.ini");
  WriteFileBytes(test::ToPath(held), "old");
  const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(held.c_str()), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ExtractFailure failure;
  EXPECT_EQ(ExtractArchive(tmp.W(), Archive("lzma2"), &failure), kExtractNotWritten);
  CloseHandle(handle);
  EXPECT_EQ(failure.path, held);
  EXPECT_EQ(ReadFileBytes(test::ToPath(held)), "old");
}
#else
fs::perms Mode(const fs::path& p) { return fs::symlink_status(p).permissions() & fs::perms::mask; }

TEST(ExtractArchive, PosixModesFromTheExtensionBitsAndReadOnly) {
  TempDir tmp;
  const mode_t mask = umask(022);
  umask(mask);
  const auto created = static_cast<fs::perms>(0666 & ~mask);
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("attributes")), 0);
  const fs::path attr = tmp.path() / "attr";
  EXPECT_EQ(Mode(attr / "archive-nci.txt"), created);
  EXPECT_EQ(Mode(attr / "hidden-system.txt"), created);
  EXPECT_EQ(Mode(attr / "none.txt"), created);
  EXPECT_EQ(Mode(attr / "readonly.txt"), created & ~static_cast<fs::perms>(0222));
  EXPECT_EQ(Mode(attr / "mode750.sh"), static_cast<fs::perms>(0750));
  EXPECT_EQ(Mode(attr / "setuid"), static_cast<fs::perms>(0755));  // never setuid
  EXPECT_EQ(Mode(attr / "readonly-mode"), static_cast<fs::perms>(0444));
  EXPECT_EQ(ReadFileBytes(attr / "mode750.sh"), "#!/bin/sh\n");
}

/// Runs body in a child process as an ordinary user (nobody, when this process is root, which is
/// spared the permission checks an ordinary user meets), owning the folder given; its exit status.
int AsOrdinaryUser(const fs::path& owned, int (*body)(const fs::path&)) {
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0) {
      for (const auto& e : fs::recursive_directory_iterator(owned)) lchown(e.path().c_str(), 65534, 65534);
      if (chown(owned.c_str(), 65534, 65534) != 0 || setgroups(0, nullptr) != 0 ||
          setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
        _exit(99);
      }
    }
    _exit(body(owned));
  }
  int status = -1;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ExtractArchive, AnOrdinaryUserReplacesFilesInstalledReadOnly) {
  TempDir tmp;
  // The archive goes along: the build folder need not be readable by that user.
  fs::copy_file(test::ToPath(Archive("attributes")), tmp.path() / "a.7z");
  const int status = AsOrdinaryUser(tmp.path(), [](const fs::path& dir) {
    const WString archive = ToWString(dir / "a.7z"), dest = ToWString(dir / "out");
    const int first = ExtractArchive(dest, archive);
    return first != 0 ? first : ExtractArchive(dest, archive);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileBytes(tmp.path() / "out" / "attr" / "readonly.txt"), "r\n");
  EXPECT_EQ(Mode(tmp.path() / "out" / "attr" / "readonly-mode"), static_cast<fs::perms>(0444));
}

TEST(ExtractArchive, ReplacesAProgramWhileItRuns) {
  // Writing a running program's file fails (ETXTBSY); the program keeps its image, the folder gets
  // the new file.
  TempDir tmp;
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("lzma2")), 0);
  const fs::path program = tmp.path() / "dudizu" / "config.ini";
  fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
  fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);
  const pid_t running = fork();
  if (running == 0) {
    execl(program.c_str(), "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The file is busy only once the exec is done.
  const std::string exe = "/proc/" + std::to_string(running) + "/exe";
  std::error_code ec;
  for (int i = 0; i < 500 && fs::read_symlink(exe, ec) != program; ++i) usleep(10000);
  ASSERT_EQ(fs::read_symlink(exe, ec), program);
  EXPECT_EQ(ExtractArchive(tmp.W(), Archive("lzma2")), 0);
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
  // A truth value: a failure would print the running program's bytes.
  EXPECT_TRUE(ReadFileBytes(program) ==
              ReadFileBytes(Fixtures() / "reference" / "lzma2" / "dudizu" / "config.ini"));
}

TEST(ExtractArchive, LinkEntryBecomesAPlainFile) {
  TempDir tmp;
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("link")), 0);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(tmp.path() / "link")));
  EXPECT_EQ(ReadFileBytes(tmp.path() / "link"), "/etc/passwd");
}
#endif

// ---- What is there is replaced ----

TEST(ExtractArchive, ReplacesExistingFilesWhole) {
  // Longer than the files they stand in for, so that a replacement without truncation shows.
  const std::string longer(5000, 'u');
  TempDir tmp;
  for (const char* name : {"config.ini", "data/big.txt"}) {
    fs::create_directories((tmp.path() / "dudizu" / name).parent_path());
    WriteFileBytes(tmp.path() / "dudizu" / name, longer);
  }
  ASSERT_EQ(ExtractArchive(tmp.W(), Archive("lzma2")), 0);
  EXPECT_EQ(Differences(ReadTree(tmp.path()), ReadTree(Fixtures() / "reference" / "lzma2")),
            std::vector<std::string>{});
}

// ---- Failures: the first failing entry's code, earlier entries kept, later ones untouched ----

enum class Obstacle { kNone, kFolderAtB, kDevFullAtA };

struct FailCase {
  const char* archive;
  Obstacle obstacle;
  int code;
  std::vector<std::string> written;  // of a.txt, b.txt, c.txt (the abc archives), the ones written
};

void PrintTo(const FailCase& c, std::ostream* os) {
  *os << c.archive << " obstacle " << static_cast<int>(c.obstacle);
}

class Failure : public testing::TestWithParam<FailCase> {};

TEST_P(Failure, StopsAtTheFirstFailingEntry) {
  const FailCase& c = GetParam();
  // One writer: no later file is being written when an entry fails (with more, see ManyWriters).
  const test::ScopedWorkerCount one_writer(1);
  TempDir tmp;
  if (c.obstacle == Obstacle::kFolderAtB) fs::create_directories(tmp.path() / "b.txt");
#ifndef _WIN32
  if (c.obstacle == Obstacle::kDevFullAtA) fs::create_symlink("/dev/full", tmp.path() / "a.txt");
#endif
  ExtractFailure failure;
  EXPECT_EQ(ExtractArchive(tmp.W(), Archive(c.archive), &failure), c.code);
  if (c.code == kExtractNotWritten) {
    // The cause travels with the code: the file that was not written and the system's error.
    const bool full = c.obstacle == Obstacle::kDevFullAtA;
    EXPECT_EQ(failure.path, tmp.W(full ? u"a.txt" : u"b.txt"));
    EXPECT_EQ(failure.systemError, kWindows ? 5 /* ERROR_ACCESS_DENIED */ : full ? ENOSPC : EISDIR);
    EXPECT_FALSE(SystemErrorText(failure.systemError).empty());
  }
  Tree want;
  for (const auto& name : c.written) want[name] = ReadFileBytes(Fixtures() / "abc" / name);
  // A file that fails is removed: one whose write fails too (here the link it was written through).
  if (c.obstacle == Obstacle::kFolderAtB) want["b.txt"] = "<dir>";
  EXPECT_EQ(Differences(ReadTree(tmp.path()), want), std::vector<std::string>{});
}

std::vector<FailCase> FailCases() {
  std::vector<FailCase> cases = {
      {"abc-copy-flipped", Obstacle::kNone, 3, {"a.txt", "b.txt"}},  // SZ_ERROR_CRC
      {"abc-lzma-flipped", Obstacle::kNone, 1, {"a.txt", "b.txt"}},  // SZ_ERROR_DATA
      {"abc-copy-truncated", Obstacle::kNone, 6, {}},                // SZ_ERROR_INPUT_EOF
      {"abc-lzma-truncated", Obstacle::kNone, 6, {}},
      {"ppmd", Obstacle::kNone, 4, {}},  // SZ_ERROR_UNSUPPORTED
      {"deflate", Obstacle::kNone, 4, {}},
      {"abc-copy", Obstacle::kFolderAtB, 11, {"a.txt"}},  // SZ_ERROR_FAIL
  };
  if (!kWindows) cases.push_back({"abc-copy", Obstacle::kDevFullAtA, 11, {}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Extract, Failure, testing::ValuesIn(FailCases()), [](const auto& info) {
  std::string name =
      std::string(info.param.archive) + "_" + std::to_string(static_cast<int>(info.param.obstacle));
  for (char& ch : name) ch = ch == '-' ? '_' : ch;
  return name;
});

std::string ManyFile(int i) { return (i < 10 ? "f0" : "f") + std::to_string(i) + ".txt"; }

/// How many of the "many" archive's files after the first-th are there as files.
int WrittenAfter(const fs::path& dir, int first) {
  int n = 0;
  for (int i = first + 1; i < 40; ++i) n += fs::is_regular_file(dir / ManyFile(i)) ? 1 : 0;
  return n;
}

// Every file of one folder queued to eight writers at once: archive order still decides.
TEST(ExtractArchive, ManyWritersKeepTheArchiveOrder) {
  const test::ScopedWorkerCount workers(8);
#ifndef _WIN32
  {
    // One write held up (a pipe nobody reads yet): the other writers get at most 15 files ahead
    // of it, however long it takes.
    TempDir held;
    ASSERT_EQ(mkfifo((held.path() / "f05.txt").c_str(), 0644), 0);
    int ahead = -1;
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ahead = WrittenAfter(held.path(), 5);
      ReadFileBytes(held.path() / "f05.txt");  // lets the write through
    });
    EXPECT_EQ(ExtractArchive(held.W(), Archive("many")), kExtractOk);
    reader.join();
    EXPECT_LE(ahead, 15);
  }
  {
    // A file whose writes had begun when an earlier entry failed is removed, not left part-written:
    // held.txt (a pipe nobody reads yet, whose checksum the archive gives wrong) fails once the
    // first MiB of big.bin, 15 writes after it, has been written, and before the next.
    TempDir abandoned;
    ASSERT_EQ(mkfifo((abandoned.path() / "held.txt").c_str(), 0644), 0);
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ReadFileBytes(abandoned.path() / "held.txt");
    });
    EXPECT_EQ(ExtractArchive(abandoned.W(), Archive("abandoned")), 3);
    reader.join();
    EXPECT_EQ(ReadFileBytes(abandoned.path() / "a.txt"), "a\n");
    EXPECT_FALSE(fs::exists(abandoned.path() / "held.txt"));
    EXPECT_FALSE(fs::exists(abandoned.path() / "big.bin"));
  }
#endif
  for (int round = 0; round < 5; ++round) {
    // Two failing files: the first in the archive is the one reported; every file before it is
    // written, and after it at most 15 (a write never gets further ahead of an unfinished one).
    TempDir many;
    fs::create_directories(many.path() / "f05.txt");
    fs::create_directories(many.path() / "f30.txt");
    ExtractFailure failure;
    ASSERT_EQ(ExtractArchive(many.W(), Archive("many"), &failure), kExtractNotWritten);
    EXPECT_EQ(failure.path, many.W(u"f05.txt"));
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(ReadFileBytes(many.path() / ManyFile(i)), "file " + std::to_string(i) + "\n");
    EXPECT_LE(WrittenAfter(many.path(), 5), 15);

    // One path written twice ends with the later entry; a file where a later entry needs a
    // folder fails that entry, as when written one by one.
    TempDir clashes;
    ASSERT_EQ(ExtractArchive(clashes.W(), Archive("clashes"), &failure), kExtractNotWritten);
    EXPECT_EQ(failure.path, clashes.W(u"x") + kPathSeparator + u"inner.txt");
    EXPECT_EQ(ReadFileBytes(clashes.path() / "dup.txt"), "second\n");
    EXPECT_EQ(ReadFileBytes(clashes.path() / "x"), "a file\n");
    // "\u00c4.txt" and "\u00e4.txt" differ outside ASCII: one file on Windows, also written in order,
    // and nothing moved aside by a write that found the other one's still open.
    EXPECT_EQ(ReadFileBytes(clashes.path() / u"\u00e4.txt"), "lower\n");
    Tree names = ReadTree(clashes.path());
    names.erase("after.txt");  // within 15 of the failure: it may have been written
    EXPECT_EQ(names.size(), kWindows ? 4u : 5u);
  }
}

// Every allocation an extraction makes through operator new refused in turn, one a run: each run
// ends with kExtractOk or kExtractOutOfMemory (never hangs: a watchdog aborts one that takes a
// minute), and every file it leaves is whole. Without threads each run makes the same allocations;
// with two the same verdict holds whichever allocation is refused.
// How many files the process has open (POSIX; 0 elsewhere: a file Windows' build left open
// would stay undeletable, and fail the next run's clean-up).
[[maybe_unused]] int OpenFiles() {
  int open = 0;
#ifndef _WIN32
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++open;
#endif
  return open;
}

TEST(ExtractArchive, EachAllocationRefusedInTurnEndsInACodeAndLeavesWholeFilesOnly) {
#ifdef ZYV_KEEPS_OPERATOR_NEW
  GTEST_SKIP() << "operator new is the ThreadSanitizer runtime's";
#else
  struct Watchdog {
    std::mutex mutex;
    std::condition_variable changed;
    long run = 0;  // the refused allocation of the run under way, 0 between runs
    bool ending = false;
    std::thread thread{[this] {
      std::unique_lock lock(mutex);
      for (long seen = 0; !ending;) {
        seen = run;
        if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return ending || run != seen; }) &&
            seen != 0) {
          std::fprintf(stderr, "the extraction with allocation %ld refused has not ended in a minute\n",
                       seen);
          std::abort();
        }
      }
    }};
    void Set(long value) {
      {
        const std::lock_guard lock(mutex);
        run = value;
      }
      changed.notify_all();
    }
    ~Watchdog() {
      {
        const std::lock_guard lock(mutex);
        ending = true;
      }
      changed.notify_all();
      thread.join();
    }
  } watchdog;
  TempDir tmp;
  // An update too: lzma-3files beside an installation whose big.txt has changed.
  ASSERT_EQ(ExtractArchive(tmp.W(u"installed"), Archive("lzma-3files")), 0);
  const fs::path big = tmp.path() / "installed" / "dudizu" / "data" / "big.txt";
  WriteFileBytes(big, std::string(ReadFileBytes(big).size(), 'x'));
  for (const unsigned workers : {0u, 2u}) {
    const test::ScopedWorkerCount count(workers);
    for (const char* name : {"many-blocks", "interleaved-empty", "update"}) {
      SCOPED_TRACE(std::string(name) + ", workers " + std::to_string(workers));
      const bool update = std::string(name) == "update";
      const WString archive = Archive(update ? "lzma-3files" : name);
      fs::remove_all(tmp.path() / "out");
      // What the call is given is made before the count starts: only its own allocations count.
      const WString dest = ToWString(tmp.path() / "out");
      AlreadyThere there{tmp.W(u"installed") + kPathSeparator, {}, {}, {}};
      there.kept.reserve(16);
      const auto extract = [&] {
        there.kept.clear();
        return ExtractArchive(dest, archive, nullptr, nullptr, update ? &there : nullptr);
      };
      // Every file of the archive whole, as a run that refuses nothing makes it (an update may write
      // a file anew that it could not check).
      ASSERT_EQ(ExtractArchive(tmp.W(u"whole"), archive), 0);
      const Tree want = ReadTree(tmp.path() / "whole");
      fs::remove_all(tmp.path() / "whole");
      g_newCalls = 0;
      ASSERT_EQ(extract(), 0);
      const long calls = g_newCalls;
      const std::size_t made = ReadTree(tmp.path() / "out").size();
      const int open = OpenFiles();
      // Every allocation in turn natively. Under Wine, where one run takes some 40 ms and the
      // Windows build makes about four times as many allocations: every eighth, from another one
      // for each number of workers.
      const long step = kWindows ? 8 : 1;
      for (long refused = kWindows ? 1 + 2 * workers : 1; refused <= calls; refused += step) {
        fs::remove_all(tmp.path() / "out");
        watchdog.Set(refused);
        g_newCalls = 0;
        g_refusedNew = refused;
        const int code = extract();
        g_refusedNew = 0;
        watchdog.Set(0);
        ASSERT_TRUE(code == kExtractOk || code == kExtractOutOfMemory) << code << ", allocation " << refused;
        ASSERT_EQ(OpenFiles(), open) << "a file left open, allocation " << refused;
        const Tree got = ReadTree(tmp.path() / "out");
        for (const auto& [file, bytes] : got) {
          const auto it = want.find(file);
          ASSERT_TRUE(it != want.end() && it->second == bytes) << file << ", allocation " << refused;
        }
        if (code == kExtractOk && !update) {
          ASSERT_EQ(got.size(), made) << "allocation " << refused;
        }
      }
    }
  }
#endif
}

// A link planted where the extraction writes, at a file or at a folder at any depth: on Windows
// nothing is written through it, and the entry fails naming it; POSIX follows links there.
TEST(ExtractArchive, WritesNothingThroughALinkOnWindows) {
  const struct {
    const char* archive;
    std::u16string link;  // below the destination
    bool folder;
  } cases[] = {{"abc-copy", u"a.txt", false}, {"folder-order", u"a", true}, {"folder-order", u"a/b", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.link));
    TempDir tmp;
    const fs::path dest = tmp.path() / "dest", link = (dest / c.link).make_preferred();
    fs::create_directories(link.parent_path());
    fs::create_directories(tmp.path() / "outside" / "folder");
    WriteFileBytes(tmp.path() / "outside" / "file", "the user's own");
    const Tree outside = ReadTree(tmp.path() / "outside");
    test::PlantedLinks links;
    if (!links.Plant(tmp.path() / "outside" / (c.folder ? "folder" : "file"), link))
      GTEST_SKIP() << "no links";
    ExtractFailure failure;
    const int code = ExtractArchive(ToWString(dest), Archive(c.archive), &failure);
    if (!kWindows) {
      EXPECT_EQ(code, kExtractOk);
      continue;
    }
    EXPECT_EQ(code, kExtractNotWritten);
    EXPECT_EQ(failure.path, ToWString(link));
    EXPECT_EQ(failure.systemError, LinkRefusedError());
    EXPECT_EQ(ReadTree(tmp.path() / "outside"), outside);
  }
}

TEST(ExtractArchive, ArchiveNotOpenedCreatesOnlyTheDestinationChain) {
  TempDir tmp;
  const WString dest = tmp.W(u"a") + kPathSeparator + u"b" + kPathSeparator + u"c";
  ExtractFailure failure;
  EXPECT_EQ(ExtractArchive(dest, tmp.W(u"missing.7z"), &failure), kExtractNotOpened);
  EXPECT_EQ(failure.path, tmp.W(u"missing.7z"));
  EXPECT_EQ(failure.systemError, kWindows ? 2 /* ERROR_FILE_NOT_FOUND */ : ENOENT);
  EXPECT_EQ(ExtractArchive(dest, tmp.W(u"a"), &failure), kExtractNotOpened);  // a folder is no archive
  EXPECT_EQ(failure.path, tmp.W(u"a"));
  EXPECT_EQ(failure.systemError, kWindows ? 5 /* ERROR_ACCESS_DENIED */ : EISDIR);
  EXPECT_EQ(ReadTree(tmp.path()), (Tree{{"a", "<dir>"}, {"a/b", "<dir>"}, {"a/b/c", "<dir>"}}));
}

// Sizes that add up past their folder are refused when the archive is opened, before any entry.
TEST(ExtractArchive, ForgedSizesAreRefusedBeforeAnyEntry) {
  TempDir tmp;
  EXPECT_EQ(ExtractArchive(tmp.W(), Archive("forged-sizes")), 16);
  EXPECT_EQ(ReadTree(tmp.path()), Tree{});
}

TEST(ExtractArchive, ArchiveWithoutNamesWritesNothing) {
  TempDir tmp;
  EXPECT_EQ(ExtractArchive(tmp.W(), Archive("name-missing")), 16);
  EXPECT_EQ(ReadTree(tmp.path()), Tree{});
}

// ---- Names: nothing may land outside the destination ----

struct NameCase {
  const char* archive;
  int code;
  std::string landed;  // the middle entry's path when accepted
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.archive; }

class EntryName : public testing::TestWithParam<NameCase> {};

TEST_P(EntryName, UnsafeStopsTheWalkBeforeWritingAnything) {
  const NameCase& c = GetParam();
  // One writer, so that after.txt is never in flight when the middle entry fails to be written.
  const test::ScopedWorkerCount one_writer(1);
  TempDir tmp;
  EXPECT_EQ(ExtractArchive(tmp.W(u"dest"), Archive(c.archive)), c.code);
  Tree want = {{"dest", "<dir>"}, {"dest/ok.txt", "fine\n"}};
  if (c.code == 0) {
    want["dest/after.txt"] = "never\n";
    want["dest/" + c.landed] = "evil\n";
    for (auto slash = c.landed.rfind('/'); slash != std::string::npos;
         slash = c.landed.rfind('/', slash - 1)) {
      want["dest/" + c.landed.substr(0, slash)] = "<dir>";
      if (slash == 0) break;
    }
  }
  EXPECT_EQ(ReadTree(tmp.path()), want);
#ifndef _WIN32
  EXPECT_FALSE(fs::exists("/zyv-h3-evil.txt"));
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Extract, EntryName,
    testing::Values(NameCase{"name-parent", 16, ""}, NameCase{"name-inner-parent", 16, ""},
                    NameCase{"name-absolute", 16, ""}, NameCase{"name-backslash-root", 16, ""},
                    NameCase{"name-drive", 16, ""}, NameCase{"name-backslash-parent", 16, ""},
                    NameCase{"name-empty-name", 16, ""},
                    // Only Windows reads a colon as a stream and trims ".. " to "..".
                    NameCase{"name-colon", kWindows ? 16 : 0, "sub/evil.txt:stream"},
                    NameCase{"name-dots-space", kWindows ? 16 : 0, "sub/.. /evil.txt"},
                    // Given in the extended-length form, Windows keeps a name's last dot or space:
                    // a file Explorer could neither open nor delete.
                    NameCase{"name-trailing-dot", kWindows ? 16 : 0, "sub./evil.txt"},
                    NameCase{"name-trailing-space", kWindows ? 16 : 0, "sub/evil.txt "},
                    // The folder walk splits at '/' only: on Windows "back" is never made.
                    NameCase{"name-backslash-inside", kWindows ? 11 : 0, "back\\slash.txt"}),
    [](const auto& info) {
      std::string name = std::string(info.param.archive).substr(5);
      for (char& ch : name) ch = ch == '-' ? '_' : ch;
      return name;
    });

// ---- CreateDirectoryChain ----

TEST(CreateDirectoryChain, MakesEveryLevelAndReportsTheDeepest) {
  TempDir tmp;
  const WString deep = tmp.W(u"x") + kPathSeparator + u"y" + kPathSeparator + u"z";
  EXPECT_TRUE(CreateDirectoryChain(deep));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "x" / "y" / "z"));
  EXPECT_FALSE(CreateDirectoryChain(deep + kPathSeparator));  // the deepest already exists
  EXPECT_TRUE(CreateDirectoryChain(tmp.W(u"x") + kPathSeparator + u"w" + kPathSeparator));
  EXPECT_FALSE(CreateDirectoryChain(u""));
}

}  // namespace
}  // namespace zyv
