// Unpacking the real payload into a scratch install base and keeping the user's config.ini.
#include "app/install.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "payload/stage.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zyv {
namespace {

using test::HostPath;
using test::ReadFileBytes;
using test::TempDir;
using test::ToPath;
using test::WriteFileBytes;
namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char16_t kTestProgram[] = u"install_test.exe";
#else
constexpr char16_t kTestProgram[] = u"install_test";
#endif

// A user's settings as no payload would have them: the install key of another installer, blanks,
// CR LF and LF mixed, text outside ASCII, no final line break.
const std::string kUserConfig =
    "[ZeReveza]\r\nlanguage = en\r\ninstall=Setup-13.exe\nrecent=C:\\项目\\Ω.kel\r\n[Other]\r\nx=1";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

/// Every path under root, relative, with "/" between names.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::u8string name = entry.path().lexically_relative(root).generic_u8string();
    tree.insert(std::string(name.begin(), name.end()));
  }
  return tree;
}

/// A stand-in for StagePayload that stages the first half of the payload: an archive whose end,
/// with its header, is missing.
int StageTruncatedPayload(const WString& path) {
  const std::span<const unsigned char> payload = EmbeddedPayload();
  WriteFileBytes(ToPath(path),
                 std::string(reinterpret_cast<const char*>(payload.data()), payload.size() / 2));
  return 1;
}

/// A stand-in for a StagePayload that failed, leaving the staging file as it was.
int FailToStage(const WString&) { return 0; }

/// The extraction tests' archives and 7zz's trees of them, made natively; under Wine the Linux root
/// is drive Z:.
fs::path Fixtures() { return HostPath(ZYV_BINARY_DIR "/extract_fixtures"); }

/// The archive StageFixture stages in place of the payload.
fs::path g_fixture;

/// What a test does between the commit's plan and its first move (g_before_first_move).
std::function<void()> g_between;

int StageFixture(const WString& path) {
  WriteFileBytes(ToPath(path), ReadFileBytes(g_fixture));
  return 1;
}

/// Run's answer when a stopped run's commit could be neither finished nor undone.
constexpr int kUnfinished = -1;

class InstallTest : public ::testing::Test {
 protected:
  /// The install base: a folder inside the scratch folder, followed by a separator.
  WString Base() const { return dir_.W(BaseName()) + kPathSeparator; }
  virtual WString BaseName() const { return u"Local"; }

  fs::path BasePath() const { return ToPath(dir_.W(BaseName())); }
  fs::path Folder() const { return BasePath() / "dudizu"; }
  fs::path Config() const { return Folder() / "config.ini"; }
  fs::path Backup() const { return Folder() / "config.ini.bak"; }

  static fs::path Product() { return HostPath(ZYV_SOURCE_DIR "/res/product/dudizu"); }

  /// One run's steps as RunInstall takes them: the settings found, what a stopped run left, the
  /// unpacking and its commit.
  int Run(StageFunction stage = nullptr) {
    InstallState state = ReadInstallState(Base());
    if (!RecoverInstallFolder(Base(), state)) return kUnfinished;
    return UnpackPayload(Base(), state, stage);
  }

  /// A run stopped dead while it unpacks: its record written, half a file staged.
  void Interrupt() {
    const InstallState state = ReadInstallState(Base());
    const Transaction stopped(Base(), state, nullptr);
    ASSERT_TRUE(stopped.Begun());
    fs::create_directories(ToPath(stopped.StagingRoot()) / "dudizu");
    WriteFileBytes(ToPath(stopped.StagingRoot()) / "dudizu" / "readme.txt", "half");
    StageTruncatedPayload(Base() + u"main.7z");
  }

  /// Nothing of the run's own is left over: no staging file or folder, no aside folder, no backup,
  /// no record of a run.
  void ExpectNoLeftovers() const {
    EXPECT_FALSE(fs::exists(BasePath() / "main.7z"));
    EXPECT_FALSE(fs::exists(Backup()));
    EXPECT_FALSE(fs::exists(Folder() / "ZyvInstall.pending"));
    if (fs::exists(Folder())) {
      for (const auto& entry : fs::directory_iterator(Folder())) {
        EXPECT_FALSE(entry.is_directory() && entry.path().filename().string().starts_with("ZyvInstall."))
            << entry.path();
      }
    }
  }

  /// The installed tree is the sample product's: its documents and settings, and the program.
  void ExpectProductTree() const {
    std::set<std::string> expected = {"dudizu", "dudizu/ZyvSHelp.exe", "dudizu/ZyvInstall.installed"};
    for (const auto& entry : fs::directory_iterator(Product())) {
      const std::u8string name = entry.path().filename().u8string();
      expected.insert("dudizu/" + std::string(name.begin(), name.end()));
      if (entry.path().filename() != "config.ini") {
        EXPECT_TRUE(ReadFileBytes(entry.path()) == ReadFileBytes(Folder() / entry.path().filename()))
            << entry.path();
      }
    }
    EXPECT_EQ(Tree(BasePath()), expected);
    EXPECT_TRUE(ReadFileBytes(HostPath(ZYV_PRODUCT_PROGRAM)) == ReadFileBytes(Folder() / "ZyvSHelp.exe"));
  }

  /// config.ini is the product's plus the install key naming the installer, without its folder.
  void ExpectFirstInstallationConfig() const {
    std::vector<std::string> expected = Lines(ReadFileBytes(Product() / "config.ini"));
    expected.push_back("install=" + Utf16ToUtf8(kTestProgram));
    EXPECT_EQ(Lines(ReadFileBytes(Config())), expected);
  }

  TempDir dir_;
};

#ifdef ZYV_SAMPLE_PAYLOAD
#define SAMPLE_PAYLOAD_ONLY()
#else
#define SAMPLE_PAYLOAD_ONLY() GTEST_SKIP() << "the build embeds another payload (ZYV_PAYLOAD)"
#endif

TEST_F(InstallTest, FirstInstallationUnpacksTheProductAndRecordsTheInstaller) {
  SAMPLE_PAYLOAD_ONLY();
  // The base is created when missing (its parent exists, as Local Application Data's does).
  ASSERT_EQ(Run(), 0);
  ExpectProductTree();
  ExpectFirstInstallationConfig();
  ExpectNoLeftovers();
}

TEST_F(InstallTest, ReinstallationKeepsTheUserFileByteForByte) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);
  WriteFileBytes(Folder() / "readme.txt", "damaged");

  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  ExpectProductTree();
  ExpectNoLeftovers();
}

TEST_F(InstallTest, FilesWithTheRunsNamesAreNoEvidenceOfAnInterruptedRun) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);
  // A staging file that could not be deleted (a scanner held it), and an older backup.
  WriteFileBytes(BasePath() / "main.7z", "left behind");
  WriteFileBytes(Backup(), "[ZeReveza]\r\nlanguage=stale\r\n");

  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  EXPECT_FALSE(fs::exists(BasePath() / "main.7z"));
  // No record names it: the backup is no file of this installer's, and it stays as it was.
  EXPECT_EQ(ReadFileBytes(Backup()), "[ZeReveza]\r\nlanguage=stale\r\n");
}

TEST_F(InstallTest, ARunStoppedWhileUnpackingIsUndoneByTheNext) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);
  Interrupt();

  EXPECT_TRUE(fs::exists(Folder() / "ZyvInstall.pending"));
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  ExpectProductTree();
  ExpectNoLeftovers();
}

TEST_F(InstallTest, SettingsARecordFindsAreTheUsersUnlessTheyAreThePayloadsCopy) {
  SAMPLE_PAYLOAD_ONLY();
  const std::string payloads = ReadFileBytes(Product() / "config.ini");
  const std::string earlier_record = "ZyvInstall pending installation\nsettings ";
  struct Case {
    const char* name;
    std::string record;  // the run's record an earlier run left
    std::string config;  // config.ini then
    std::string backup;  // config.ini.bak then, if any
    bool replaced;       // the payload's copy, with the installer's name, is there afterwards
  };
  const Case cases[] = {
      // A first installation's record that outlived its run: the payload's copy is replaced, a file
      // the user has changed since is not.
      {"payload's copy", "none\nphase settled\n", payloads, "", true},
      {"changed since", "none\nphase settled\n", kUserConfig, "", false},
      // An earlier installer stopped with the user's file aside: it comes back.
      {"moved aside", "", payloads, kUserConfig, false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Run(), 0);
    WriteFileBytes(Config(), c.config);
    std::string record = c.record;
    if (!c.backup.empty()) {
      WriteFileBytes(Backup(), c.backup);
      record =
          SettingsOf(dir_.W(BaseName()) + kPathSeparator + u"dudizu" + kPathSeparator + u"config.ini.bak") +
          "\n";
    }
    WriteFileBytes(Folder() / "ZyvInstall.pending", earlier_record + record);

    ASSERT_EQ(Run(), 0) << c.name;
    if (c.replaced) {
      ExpectFirstInstallationConfig();
    } else {
      EXPECT_EQ(ReadFileBytes(Config()), c.backup.empty() ? c.config : c.backup) << c.name;
    }
    ExpectNoLeftovers();
    fs::remove_all(Folder());
  }
}

TEST_F(InstallTest, ADamagedPayloadFailsAndLeavesTheInstallationAsItWas) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);

  EXPECT_NE(Run(StageTruncatedPayload), 0);
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  ExpectProductTree();
  ExpectNoLeftovers();
}

TEST_F(InstallTest, AFailedFirstInstallationLeavesNoSettingsForTheNextToKeep) {
  SAMPLE_PAYLOAD_ONLY();
  EXPECT_NE(Run(StageTruncatedPayload), 0);
  EXPECT_FALSE(fs::exists(Config()));
  ExpectNoLeftovers();

  // The next run is a first installation: the product's defaults and the installer's name.
  ASSERT_EQ(Run(), 0);
  ExpectProductTree();
  ExpectFirstInstallationConfig();
}

TEST_F(InstallTest, AFailedStagingIsReportedAndNoStaleArchiveIsExtracted) {
  fs::create_directories(BasePath());
  // A complete archive from some earlier run, which the failed staging did not replace.
  const std::span<const unsigned char> payload = EmbeddedPayload();
  WriteFileBytes(BasePath() / "main.7z",
                 std::string(reinterpret_cast<const char*>(payload.data()), payload.size()));

  EXPECT_EQ(Run(FailToStage), 1);
  EXPECT_FALSE(fs::exists(Folder() / "ZyvSHelp.exe"));
  EXPECT_FALSE(fs::exists(BasePath() / "main.7z"));
}

TEST_F(InstallTest, RecordsThatLeadOutsideTheInstallationMoveNothing) {
  SAMPLE_PAYLOAD_ONLY();
  // Any program of the user's may write the records. Whatever they name outside the install folder
  // (beside it under Local Application Data, above it), or of the installer's own, the installer
  // moves and deletes none of it, and the user's settings stay.
  const std::string committing =
      "ZyvInstall pending installation\nsettings none\nphase committing\nstaging ZyvInstall.staging\n"
      "aside ZyvInstall.old\n";
  const std::string installed = "ZyvInstall installed files\nfile dudizu/readme.txt\n";
  struct Case {
    const char* name;
    std::string record;  // ZyvInstall.pending, when not empty
    std::string list;    // ZyvInstall.installed, when not empty
  };
  const Case cases[] = {
      {"no folders of a run",
       "ZyvInstall pending installation\nsettings none\nphase staging\nstaging \naside \n", ""},
      {"a file above the base", committing + "file ../victim.txt\n", installed + "file ../victim.txt\n"},
      {"a file beside the install folder", committing + "file other/keep.txt\n",
       installed + "file other/keep.txt\n"},
      {"the installer's own", committing + "file dudizu/ZyvInstall.installed\n",
       installed + "file DUDIZU/ZyvInstall.pending\n"},
      {"folders beside it", committing + "made other\ncleared other\nfolder other\n",
       installed + "folder other\n"},
      {"the install folder as a file", committing + "file dudizu\n", installed + "file dudizu\n"},
      {"the install folder made", committing + "made dudizu\n", ""},
      {"second spellings of the settings and the records", committing + "file dudizu/./readme.txt\n",
       installed + "file dudizu//config.ini\nfile dudizu/./ZyvInstall.pending\n"},
  };
  const fs::path victim = BasePath().parent_path() / "victim.txt", beside = BasePath() / "other" / "keep.txt";
  for (const Case& c : cases) {
    fs::remove_all(BasePath());
    ASSERT_EQ(Run(), 0) << c.name;
    WriteFileBytes(Config(), kUserConfig);
    WriteFileBytes(victim, "not the installer's");
    fs::create_directories(beside.parent_path());
    WriteFileBytes(beside, "not the installer's");
    if (!c.record.empty()) WriteFileBytes(Folder() / "ZyvInstall.pending", c.record);
    if (!c.list.empty()) WriteFileBytes(Folder() / "ZyvInstall.installed", c.list);
    ASSERT_EQ(Run(), 0) << c.name;
    EXPECT_EQ(ReadFileBytes(victim), "not the installer's") << c.name;
    EXPECT_EQ(ReadFileBytes(beside), "not the installer's") << c.name;
    EXPECT_EQ(ReadFileBytes(Config()), kUserConfig) << c.name;
    fs::remove_all(BasePath() / "other");
    ExpectProductTree();
    ExpectNoLeftovers();
  }
}

TEST_F(InstallTest, AFolderTheUpdateAddsGoesInWholeAndComesBackOutOnAFailure) {
  // The new tree, staged by hand: a changed file and a folder of folders that the installation
  // lacks; with a folder of the user's where one more file of the tree must go, the commit fails.
  for (const bool blocked : {true, false}) {
    SCOPED_TRACE(blocked ? "blocked" : "free");
    fs::remove_all(BasePath());
    fs::create_directories(Folder());
    WriteFileBytes(Folder() / "a.txt", "old");
    WriteFileBytes(Config(), kUserConfig);
    if (blocked) {
      fs::create_directories(Folder() / "zz.txt");
      WriteFileBytes(Folder() / "zz.txt" / "mine", "mine");
    }
    const test::Tree before = test::ReadTree(Folder());
    Transaction update(Base(), ReadInstallState(Base()), nullptr);
    ASSERT_TRUE(update.Begun());
    const fs::path staged = ToPath(update.StagingRoot()) / "dudizu";
    for (const char* name : {"a.txt", "new/deep/x.txt", "new/y.txt", "zz.txt", "config.ini"}) {
      fs::create_directories((staged / name).parent_path());
      WriteFileBytes(staged / name, std::string("new ") + name);
    }
    ExtractFailure cause;
    EXPECT_EQ(update.Commit({}, &cause), blocked ? 11 : 0);
    test::Tree after = test::ReadTree(Folder());
    if (blocked) {
      EXPECT_EQ(test::Differences(after, before), std::vector<std::string>{});
      EXPECT_EQ(ToPath(cause.path), Folder() / "zz.txt");
    } else {
      EXPECT_EQ(after["new/deep/x.txt"], "new new/deep/x.txt");
      EXPECT_EQ(after["a.txt"], "new a.txt");
      EXPECT_EQ(after["config.ini"], kUserConfig);
    }
    ExpectNoLeftovers();
  }
}

// A product's history, forward and back: a folder that becomes a file and one that holds what the
// last version's file was, names renamed in case alone, a file changed. Each run ends with exactly
// that version's tree, names spelt as it spells them, the user's settings kept; where the user has
// put a file of their own into a folder that must become a file, the update is refused before it
// changes anything, and goes through once the file is gone.
TEST_F(InstallTest, AProductWhoseTreeChangesShapeAndCaseUpdatesBothWays) {
  const auto install = [&](const char* version) {
    g_fixture = Fixtures() / "archives" / (std::string(version) + ".7z");
    return Run(StageFixture);
  };
  const auto expect_version = [&](const char* version) {
    test::Tree want = test::ReadTree(Fixtures() / "reference" / version / "dudizu");
    want["config.ini"] = kUserConfig;
    test::Tree got = test::ReadTree(Folder());
    got.erase("ZyvInstall.installed");
    EXPECT_EQ(test::Differences(got, want), std::vector<std::string>{}) << version;
    ExpectNoLeftovers();
  };
  ASSERT_EQ(install("history-1"), 0);
  WriteFileBytes(Config(), kUserConfig);
  for (const char* version : {"history-2", "history-1", "history-2"}) {
    ASSERT_EQ(install(version), 0) << version;
    expect_version(version);
  }
#ifndef _WIN32
  // A folder of the installation that the user made a link to a folder elsewhere is followed, as
  // links are here: what the tree finds through it stays, and the link with it.
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::rename(Folder() / "docs", elsewhere);
  fs::create_directory_symlink(elsewhere, Folder() / "docs");
  ASSERT_EQ(install("history-2"), 0);
  EXPECT_TRUE(fs::is_symlink(Folder() / "docs"));
  EXPECT_EQ(ReadFileBytes(elsewhere / "guide.txt"), "guide\n");
  ExpectNoLeftovers();
  fs::remove(Folder() / "docs");
  fs::rename(elsewhere, Folder() / "docs");
#endif
  // A file of the user's where the new version has a folder (the list says the installation never
  // installed tools) is not moved either.
  ASSERT_EQ(install("history-1"), 0);
  std::string list = ReadFileBytes(Folder() / "ZyvInstall.installed");
  list.erase(list.find("file dudizu/tools\n"), std::string("file dudizu/tools\n").size());
  WriteFileBytes(Folder() / "ZyvInstall.installed", list);
  g_fixture = Fixtures() / "archives" / "history-2.7z";
  InstallState users = ReadInstallState(Base());
  ExtractFailure at_folder;
  EXPECT_EQ(UnpackPayload(Base(), users, StageFixture, &at_folder), kExtractNotWritten);
  EXPECT_EQ(at_folder.kind, FailureKind::kUsersFile);
  EXPECT_EQ(ToPath(at_folder.path), Folder() / "tools");
  EXPECT_EQ(ReadFileBytes(Folder() / "tools"), "tools, a file\n");
  ExpectNoLeftovers();
  ASSERT_EQ(install("history-1"), 0);
  WriteFileBytes(Folder() / "plugins" / "mine.txt", "the user's");
  const test::Tree before = test::ReadTree(Folder());
  ExtractFailure cause;
  g_fixture = Fixtures() / "archives" / "history-2.7z";
  InstallState state = ReadInstallState(Base());
  ASSERT_TRUE(RecoverInstallFolder(Base(), state));
  EXPECT_EQ(UnpackPayload(Base(), state, StageFixture, &cause), kExtractNotWritten);
  EXPECT_EQ(cause.kind, FailureKind::kUsersInFolder);
  EXPECT_EQ(ToPath(cause.path), Folder() / "plugins");
  EXPECT_EQ(test::Differences(test::ReadTree(Folder()), before), std::vector<std::string>{});
  ExpectNoLeftovers();
  fs::remove(Folder() / "plugins" / "mine.txt");
  ASSERT_EQ(install("history-2"), 0);
  expect_version("history-2");
}

// A staged file that vanishes between the commit's plan and its move in (a scanner quarantines a
// program it distrusts) fails the update; the old file is neither kept as if replaced nor lost.
TEST_F(InstallTest, AStagedFileThatVanishesBeforeItsMoveFailsTheUpdateAndKeepsTheOldOne) {
  g_fixture = Fixtures() / "archives" / "history-1.7z";
  ASSERT_EQ(Run(StageFixture), 0);
  const test::Tree before = test::ReadTree(Folder());
  g_between = [this] { fs::remove(Folder() / "ZyvInstall.staging" / "dudizu" / "changed.txt"); };
  g_before_first_move = [] { g_between(); };
  g_fixture = Fixtures() / "archives" / "history-2.7z";
  const int result = Run(StageFixture);
  g_before_first_move = nullptr;  // (nothing above throws)
  EXPECT_EQ(result, kExtractNotWritten);
  EXPECT_EQ(test::Differences(test::ReadTree(Folder()), before), std::vector<std::string>{});
  ExpectNoLeftovers();
}

// A link planted at the staging file while the run works (RunInstall refuses one found before):
// the user's file it leads to stays as it was, and so do the user's settings. Windows stops the
// run with its own code; POSIX puts a staging file of its own in the link's place.
TEST_F(InstallTest, ALinkAtTheStagingFileIsNeverWrittenThrough) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);
  WriteFileBytes(dir_.path() / "users-file", "the user's own");
  test::PlantedLinks links;
  if (!links.Plant(dir_.path() / "users-file", BasePath() / "main.7z")) GTEST_SKIP() << "no links here";
#ifdef _WIN32
  EXPECT_EQ(Run(), kLinkRefused);
#else
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(fs::exists(BasePath() / "main.7z"));
#endif
  EXPECT_EQ(ReadFileBytes(dir_.path() / "users-file"), "the user's own");
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  EXPECT_FALSE(fs::exists(Backup()));
}

class InstallUnderUnicodeBaseTest : public InstallTest {
 protected:
  // CJK and a character outside the BMP (a surrogate pair in UTF-16), neither in any ANSI code page.
  WString BaseName() const override { return u"本地 \U0001F600 \U00020000"; }
};

TEST_F(InstallUnderUnicodeBaseTest, InstallsAndReinstalls) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  ExpectProductTree();
  ExpectFirstInstallationConfig();
  ExpectNoLeftovers();

  WriteFileBytes(Config(), kUserConfig);
  Interrupt();
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  ExpectNoLeftovers();
}

#ifdef _WIN32
// A first installation run by a renamed copy of this program (below); skipped when run directly.
TEST(RenamedInstallerChild, FirstInstallation) {
  const wchar_t* base = _wgetenv(L"ZYV_CHILD_BASE");
  if (base == nullptr) GTEST_SKIP() << "run by InstallTest.ARenamedInstallerRecordsItsOwnName";
  ASSERT_EQ(UnpackPayload(reinterpret_cast<const char16_t*>(base), InstallState{}), 0);
}

TEST_F(InstallTest, ARenamedInstallerRecordsItsOwnName) {
  SAMPLE_PAYLOAD_ONLY();
  const fs::path copy = ToPath(dir_.W(u"下载 \U0001F600")) / u"Setup 安装 v2.exe";
  fs::create_directories(copy.parent_path());
  fs::copy_file(ToPath(ModuleFileName()), copy);

  ASSERT_TRUE(SetEnvironmentVariableW(L"ZYV_CHILD_BASE", reinterpret_cast<const wchar_t*>(Base().c_str())));
  std::wstring command = L"\"" + copy.wstring() + L"\" --gtest_filter=RenamedInstallerChild.*";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableW(L"ZYV_CHILD_BASE", nullptr);
  ASSERT_TRUE(started) << GetLastError();
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ASSERT_EQ(code, 0u);

  // The profile writer keeps an ANSI file ANSI: the name is stored in the ANSI code page, where
  // characters it lacks become '?'.
  const std::wstring name = copy.filename().wstring();
  std::string ansi(name.size() * 4, '\0');
  ansi.resize(WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), ansi.data(),
                                  static_cast<int>(ansi.size()), nullptr, nullptr));
  const std::vector<std::string> lines = Lines(ReadFileBytes(Config()));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "install=" + ansi);
}

// Another program of the user's changes the install folder between the commit's plan and its first
// move: the folders the run has looked into (its staging tree, a folder the plan walked) cannot be
// renamed away, and a link planted where the run is about to make its aside folder leads nothing
// anywhere: nothing is moved into, out of or deleted in the folder it leads to, and the run stops
// as at any link, with the installation as it was.
TEST_F(InstallTest, LinksPlantedMidCommitLeadNothingAnywhereWin32) {
  if (!test::UnderWine()) GTEST_SKIP() << "links are planted from the Linux side";
  g_fixture = Fixtures() / "archives" / "history-1.7z";
  ASSERT_EQ(Run(StageFixture), 0);
  const test::Tree before = test::ReadTree(Folder());
  const fs::path victim = dir_.path() / "victim";
  fs::create_directories(victim / "dudizu" / "plugins");
  WriteFileBytes(victim / "dudizu" / "plugins" / "a.dll", "the victim's a");
  WriteFileBytes(victim / "dudizu" / "tools", "the victim's tools");
  const test::Tree victims = test::ReadTree(victim);
  test::PlantedLinks links;
  bool staging_moved = true, walked_moved = true, planted = false;
  g_between = [&] {
    const auto move = [&](const fs::path& from) {
      return MoveFileExW(from.c_str(), (BasePath() / "moved-away").c_str(), 0) != FALSE;
    };
    staging_moved = move(Folder() / "ZyvInstall.staging" / "dudizu");
    walked_moved = move(Folder() / "plugins");
    planted = links.Plant(victim, Folder() / "ZyvInstall.old");
  };
  struct Hook {
    Hook() {
      g_before_first_move = [] { g_between(); };
    }
    ~Hook() { g_before_first_move = nullptr; }
  } hook;
  g_fixture = Fixtures() / "archives" / "history-2.7z";
  const int result = Run(StageFixture);
  ASSERT_TRUE(planted);
  EXPECT_FALSE(staging_moved);
  EXPECT_FALSE(walked_moved);
  EXPECT_EQ(result, kLinkRefused);
  EXPECT_EQ(test::Differences(test::ReadTree(victim), victims), std::vector<std::string>{});
  test::Tree after = test::ReadTree(Folder());
  std::erase_if(after,
                [](const auto& entry) { return entry.first.starts_with("ZyvInstall.old"); });  // the link
  EXPECT_EQ(test::Differences(after, before), std::vector<std::string>{});
}

TEST_F(InstallTest, AnUpdateOverAFileInUseWin32) {
  SAMPLE_PAYLOAD_ONLY();
  ASSERT_EQ(Run(), 0);
  WriteFileBytes(Config(), kUserConfig);
  const auto hold = [](const fs::path& file, DWORD share) {
    return CreateFileW(file.wstring().c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  // The program, unchanged, held by a program that lets nobody rename it: nothing to replace, so
  // nothing to ask or move, and the update goes through.
  const HANDLE program = hold(Folder() / "ZyvSHelp.exe", FILE_SHARE_READ);
  ASSERT_NE(program, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Run(), 0);
  CloseHandle(program);
  // A changed file that an earlier installation made read-only is replaced all the same, and the
  // old one deleted from aside.
  WriteFileBytes(Folder() / "readme.txt", "damaged");
  ASSERT_TRUE(SetFileAttributesW((Folder() / "readme.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(Folder() / "readme.txt"), ReadFileBytes(Product() / "readme.txt"));
  ExpectNoLeftovers();
  // A changed file held so: the update fails, and the installation is the one it found.
  WriteFileBytes(Folder() / "readme.txt", "damaged");
  const HANDLE held = hold(Folder() / "readme.txt", FILE_SHARE_READ);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Run(), 11);
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(Folder() / "readme.txt"), "damaged");
  ExpectNoLeftovers();
  // The program itself mapped as an image, as while it runs, in a version other than the payload's
  // (bytes after its end, which the loader ignores): it is renamed aside, the new one goes in, and
  // once the image is let go the next run clears the old one away.
  const fs::path exe = Folder() / "ZyvSHelp.exe";
  WriteFileBytes(exe, ReadFileBytes(exe) + "an older build");
  const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(image, nullptr) << GetLastError();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ReadFileBytes(exe), ReadFileBytes(HostPath(ZYV_PRODUCT_PROGRAM)));
  FreeLibrary(image);
  EXPECT_EQ(Run(), 0);
  ExpectNoLeftovers();
  // Held as a running program's image is (renamed, not deleted): the update goes through, the old
  // file waits aside until it is let go, and the next run clears it away.
  const HANDLE running = hold(Folder() / "readme.txt", FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Run(), 0);
  CloseHandle(running);
  EXPECT_EQ(Run(), 0);
  ExpectProductTree();
  ExpectNoLeftovers();
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
}
#endif

}  // namespace
}  // namespace zyv
