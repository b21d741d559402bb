// What every platform's file and settings operations must do alike. Portable on purpose: the same
// cases run natively and, for the Windows build, under Wine.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/worker_pool.h"
#include "tests/test_util.h"

namespace zyv {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

std::string WithoutCarriageReturns(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

TEST(PathExists, SeesFilesAndFoldersButNotMissingNames) {
  TempDir dir;
  WriteFileBytes(dir.path() / "file", "x");
  EXPECT_TRUE(PathExists(dir.W(u"file")));
  EXPECT_TRUE(PathExists(dir.W()));
  EXPECT_FALSE(PathExists(dir.W(u"missing")));
  EXPECT_FALSE(PathExists(dir.W(u"missing") + kPathSeparator + u"file"));
}

TEST(MakeDirectory, CreatesOneLevelAndRefusesWhatExists) {
  TempDir dir;
  EXPECT_TRUE(MakeDirectory(dir.W(u"a")));
  EXPECT_TRUE(fs::is_directory(dir.path() / "a"));
  EXPECT_FALSE(MakeDirectory(dir.W(u"a")));  // already there
  EXPECT_FALSE(MakeDirectory(dir.W(u"b") + kPathSeparator + u"c"));
  EXPECT_FALSE(fs::exists(dir.path() / "b"));
  WriteFileBytes(dir.path() / "file", "x");
  EXPECT_FALSE(MakeDirectory(dir.W(u"file")));  // a file where the folder must go
  EXPECT_EQ(ReadFileBytes(dir.path() / "file"), "x");
}

TEST(RemoveFile, DeletesFilesOnly) {
  TempDir dir;
  WriteFileBytes(dir.path() / "file", "x");
  fs::create_directory(dir.path() / "folder");
  EXPECT_TRUE(RemoveFile(dir.W(u"file")));
  EXPECT_FALSE(fs::exists(dir.path() / "file"));
  EXPECT_FALSE(RemoveFile(dir.W(u"file")));
  EXPECT_FALSE(RemoveFile(dir.W(u"folder")));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
}

TEST(ReplaceFileAtomically, ReplacesAnExistingTarget) {
  TempDir dir;
  WriteFileBytes(dir.path() / "new", "new contents");
  WriteFileBytes(dir.path() / "target", "old");
  EXPECT_TRUE(ReplaceFileAtomically(dir.W(u"new"), dir.W(u"target")));
  EXPECT_EQ(ReadFileBytes(dir.path() / "target"), "new contents");
  EXPECT_FALSE(fs::exists(dir.path() / "new"));
}

TEST(ReplaceFileAtomically, CreatesAMissingTarget) {
  TempDir dir;
  WriteFileBytes(dir.path() / "new", "contents");
  EXPECT_TRUE(ReplaceFileAtomically(dir.W(u"new"), dir.W(u"target")));
  EXPECT_EQ(ReadFileBytes(dir.path() / "target"), "contents");
}

TEST(ReplaceFileAtomically, MissingSourceLeavesTheTargetUntouched) {
  TempDir dir;
  WriteFileBytes(dir.path() / "target", "old");
  EXPECT_FALSE(ReplaceFileAtomically(dir.W(u"missing"), dir.W(u"target")));
  EXPECT_EQ(ReadFileBytes(dir.path() / "target"), "old");
}

// The files below are in the profile writer's own form (CRLF, no blank lines, no spaces around
// '='), so every platform must give back exactly these bytes.
TEST(WriteIniValue, CreatesAMissingFileWithItsSection) {
  TempDir dir;
  EXPECT_TRUE(WriteIniValue(u"ZeReveza", u"install", u"Setup.exe", dir.W(u"config.ini")));
  // The line ending of a new file is the platform's own.
  EXPECT_EQ(WithoutCarriageReturns(ReadFileBytes(dir.path() / "config.ini")),
            "[ZeReveza]\ninstall=Setup.exe\n");
}

TEST(WriteIniValue, ReplacesInPlaceOrAppendsToTheSectionOrTheFile) {
  const struct {
    const char* what;
    std::string before, after;
  } kCases[] = {
      {"the value in place, names matched ignoring case",
       "[Other]\r\ninstall=other\r\n[zereveza]\r\n;note\r\nINSTALL=old.exe\r\nlang=zh\r\n",
       "[Other]\r\ninstall=other\r\n[zereveza]\r\n;note\r\nINSTALL=Setup.exe\r\nlang=zh\r\n"},
      {"a missing key at the end of its section", "[ZeReveza]\r\nlang=zh\r\n;last\r\n[Next]\r\nid=1\r\n",
       "[ZeReveza]\r\nlang=zh\r\n;last\r\ninstall=Setup.exe\r\n[Next]\r\nid=1\r\n"},
      {"a missing section at the end of the file", "[First]\r\nid=1\r\n",
       "[First]\r\nid=1\r\n[ZeReveza]\r\ninstall=Setup.exe\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteFileBytes(dir.path() / "config.ini", c.before);
    EXPECT_TRUE(WriteIniValue(u"ZeReveza", u"install", u"Setup.exe", dir.W(u"config.ini")));
    EXPECT_EQ(ReadFileBytes(dir.path() / "config.ini"), c.after);
  }
}

TEST(WriteIniValue, FailsWhereNoFileCanBeWritten) {
  TempDir dir;
  EXPECT_FALSE(
      WriteIniValue(u"ZeReveza", u"install", u"x", dir.W(u"missing") + kPathSeparator + u"config.ini"));
  fs::create_directory(dir.path() / "config.ini");
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"x", dir.W(u"config.ini")));
  EXPECT_TRUE(fs::is_directory(dir.path() / "config.ini"));
}

// A user folder named in Chinese, with a character outside the Basic Multilingual Plane, through
// every operation the installer uses on it.
TEST(PlatformPaths, CjkAndNonBmpNamesWorkThroughEveryOperation) {
  TempDir dir;
  const WString folder = dir.W(u"安装\U0001F600");
  const WString file = folder + kPathSeparator + u"配置\U00020000.ini";
  ASSERT_TRUE(MakeDirectory(folder));
  EXPECT_TRUE(PathExists(folder));
  EXPECT_TRUE(fs::is_directory(test::ToPath(folder)));

  ASSERT_TRUE(WriteIniValue(u"ZeReveza", u"install", u"Setup.exe", file));
  EXPECT_TRUE(PathExists(file));
  EXPECT_EQ(WithoutCarriageReturns(ReadFileBytes(test::ToPath(file))), "[ZeReveza]\ninstall=Setup.exe\n");

  const WString backup = file + u".bak";
  EXPECT_TRUE(ReplaceFileAtomically(file, backup));
  EXPECT_FALSE(PathExists(file));
  EXPECT_TRUE(PathExists(backup));
  EXPECT_TRUE(ReplaceFileAtomically(backup, file));
  EXPECT_FALSE(PathExists(backup));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(fs::exists(test::ToPath(file)));
}

TEST(MayAskToClose, OnlyWhenEveryHolderIsTheInstallationsOwnProgram) {
  // The Restart Manager's list as data: Kelvora's programs may be asked to close, and then only when
  // nothing else holds a file; the shell, a service, a critical process or a program that cannot be
  // told keeps everyone running.
  using Kind = FileHolder::Kind;
  const WString folder = u"C:\\Users\\kel\\AppData\\Local\\dudizu";
  const FileHolder kelvora{Kind::kWindowed, u"c:\\users\\KEL\\appdata\\local\\dudizu\\ZyvSHelp.exe"};
  const FileHolder helper{Kind::kConsole, folder + u"\\tools\\helper.exe"};
  const struct {
    const char* name;
    std::vector<FileHolder> holders;
    bool ask;
  } cases[] = {
      {"nobody", {}, true},
      {"Kelvora alone", {kelvora}, true},
      {"Kelvora and its console helper", {kelvora, helper}, true},
      {"Explorer previewing a file", {kelvora, {Kind::kShell, u"C:\\Windows\\explorer.exe"}}, false},
      {"a service", {{Kind::kService, folder + u"\\svc.exe"}}, false},
      {"a critical process", {{Kind::kCritical, u"C:\\Windows\\System32\\csrss.exe"}}, false},
      {"another program", {kelvora, {Kind::kWindowed, u"C:\\Program Files\\Editor\\edit.exe"}}, false},
      {"a program beside the folder", {{Kind::kWindowed, folder + u"-old\\ZyvSHelp.exe"}}, false},
      {"one whose image cannot be read", {kelvora, {Kind::kWindowed, u""}}, false},
      {"one of unknown kind", {{Kind::kUnknown, folder + u"\\ZyvSHelp.exe"}}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MayAskToClose(c.holders, folder, PathStyle::kWindows), c.ask) << c.name;
}

TEST(WorkerPool, RunsEveryTaskOnceInOrderOfSubmissionAndWaitsForAll) {
  for (const unsigned threads : {0u, 1u, 3u}) {
    const std::thread::id self = std::this_thread::get_id();
    WorkerPool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    Mutex mutex;  // the installer's own, so that the tasks contend for it
    std::vector<int> started;
    std::atomic<int> finished{0}, elsewhere{0};
    for (int round = 0; round < 2; ++round) {  // a pool serves again after Wait
      for (int i = 0; i < 100; ++i) {
        pool.Submit([&, i] {
          {
            const std::lock_guard lock(mutex);
            started.push_back(i);
          }
          if (std::this_thread::get_id() != self) elsewhere.fetch_add(1);
          finished.fetch_add(1);
        });
      }
      pool.Wait();
      EXPECT_EQ(finished.load(), 100 * (round + 1)) << threads;
    }
    // Without threads the submitting thread runs each task; with one, they run exactly in order.
    EXPECT_EQ(elsewhere.load(), threads == 0 ? 0 : 200) << threads;
    EXPECT_EQ(started.size(), 200u) << threads;  // no push_back lost to another
    if (threads <= 1) {
      for (size_t k = 0; k < started.size(); ++k) EXPECT_EQ(started[k], static_cast<int>(k % 100));
    }
  }
}

TEST(WorkerPool, CountFollowsTheCoresUnlessFixed) {
  const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
  EXPECT_EQ(WorkerCount(), cores);
  for (const unsigned count : {3u, 1u, 8u, 0u}) {
    const test::ScopedWorkerCount fixed(count);
    EXPECT_EQ(WorkerCount(), count);
  }
  {
    const test::ScopedWorkerCount fixed(9);
    EXPECT_EQ(WorkerCount(), kMaxWorkers);
  }
  EXPECT_EQ(WorkerCount(), cores);  // given back
}

}  // namespace
}  // namespace zyv
