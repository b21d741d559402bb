// What only the Windows operations do: names outside the ANSI code page, the shell's folders,
// attribute words applied as they stand, the shell start.
#include <windows.h>

#include <chrono>
#include <thread>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/win32/wide.h"
#include "tests/test_util.h"
// This needs windows.h before it.
#include <commctrl.h>

namespace zyv {
namespace {

using test::AttributesAsStored;
using test::PlantedLinks;
using test::ReadFileBytes;
using test::ReadTree;
using test::TempDir;
using test::ToPath;
using test::Tree;
using test::UnderWine;
using test::WriteFileBytes;
using win32::W;
namespace fs = std::filesystem;

// Cyrillic, CJK and a character outside the Basic Multilingual Plane: no Western code page holds them.
const WString kForeignFolder = u"Кельвора 安装 \U0001F600";

std::uint32_t Attributes(const WString& path) { return GetFileAttributesW(W(path)); }

WString OwnFolder() {
  const WString self = ModuleFileName();
  return self.substr(0, self.find_last_of(u'\\'));
}

// Waits (bounded) until probe.txt appears in dir and gives its content.
std::string AwaitProbe(const WString& dir) {
  const auto file = ToPath(dir + u"\\probe.txt");
  for (int i = 0; i < 300 && !test::fs::exists(file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ReadFileBytes(file);
}

TEST(ReplaceFileAtomicallyWin32, ReplacesUnderForeignNames) {
  TempDir tmp;
  const WString folder = tmp.W(kForeignFolder);
  ASSERT_TRUE(MakeDirectory(folder));
  WriteFileBytes(ToPath(folder + u"\\新.tmp"), "new");
  WriteFileBytes(ToPath(folder + u"\\旧.ini"), "old");
  EXPECT_TRUE(ReplaceFileAtomically(folder + u"\\新.tmp", folder + u"\\旧.ini"));
  EXPECT_EQ(ReadFileBytes(ToPath(folder + u"\\旧.ini")), "new");
  EXPECT_FALSE(PathExists(folder + u"\\新.tmp"));
}

// Links planted from the Linux side, as Wine shows them: a folder's as a reparse point, a file's as
// the file it leads to. Nothing the installer writes, moves or deletes goes through either.
TEST(LinksWin32, NothingIsWrittenMovedOrDeletedThroughALink) {
  TempDir tmp;
  fs::create_directories(tmp.path() / "elsewhere" / "folder");
  WriteFileBytes(tmp.path() / "elsewhere" / "file.ini", "[ZeReveza]\r\nkept=1\r\n");
  const Tree elsewhere = ReadTree(tmp.path() / "elsewhere");
  fs::create_directories(tmp.path() / "base" / "dudizu" / "docs");
  const WString base = tmp.W(u"base"), folder = base + u"\\dudizu", docs = folder + u"\\docs";
  EXPECT_EQ(FindRefusedLink(folder), u"");
  EXPECT_EQ(HeldFolder(docs).state(), HeldFolder::State::kHeld);
  EXPECT_EQ(HeldFolder(docs + u"\\missing").state(), HeldFolder::State::kNotFolder);

  const WString file = docs + u"\\config.ini", link = docs + u"\\linked", record = docs + u"\\run.pending";
  PlantedLinks links;
  if (!links.Plant(tmp.path() / "elsewhere" / "file.ini", ToPath(file)) ||
      !links.Plant(tmp.path() / "elsewhere" / "file.ini", ToPath(record + u".writing")) ||
      !links.Plant(tmp.path() / "elsewhere" / "folder", ToPath(link))) {
    GTEST_SKIP() << "no links to plant here";
  }
  // Found at either name and from any folder above, the first one in the listing's order.
  EXPECT_EQ(FindRefusedLink(file), file);
  EXPECT_EQ(FindRefusedLink(link), link);
  const WString found = FindRefusedLink(base);
  EXPECT_TRUE(found == file || found == link || found == record + u".writing") << Utf16ToUtf8(found);
  EXPECT_EQ(HeldFolder(link).state(), HeldFolder::State::kLink);

  EXPECT_FALSE(RemoveFile(file));
  EXPECT_EQ(LastSystemError(), LinkRefusedError());
  EXPECT_EQ(ClassifySystemError(LinkRefusedError()), ErrorKind::kLink);
  EXPECT_FALSE(ReplaceFileAtomically(file, docs + u"\\moved.ini"));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"ZyvInstall.exe", file));
  // A link at the temporary name of a replacing write (one in a folder above is HeldFolder's).
  EXPECT_FALSE(WriteFileReplacing(record, "record"));
  EXPECT_EQ(ReadTree(tmp.path() / "elsewhere"), elsewhere);
  EXPECT_FALSE(PathExists(docs + u"\\moved.ini"));

  // A held folder stays where it was checked: it cannot be renamed away (and a link put there).
  {
    const HeldFolder held(docs);
    ASSERT_EQ(held.state(), HeldFolder::State::kHeld);
    EXPECT_FALSE(MoveFileExW(W(docs), W(folder + u"\\away"), 0));
  }
  EXPECT_TRUE(MoveFileExW(W(docs), W(folder + u"\\away"), 0));
  EXPECT_TRUE(MoveFileExW(W(folder + u"\\away"), W(docs), 0));  // where the links are removed from
}

TEST(KnownFolderPathWin32, AnswersExistingAbsoluteFoldersWithoutTrailingSeparator) {
  for (const int csidl : {kCsidlLocalAppData, kCsidlDesktop}) {
    SCOPED_TRACE(csidl);
    const WString path = KnownFolderPath(csidl);
    ASSERT_GE(path.size(), 4u);
    EXPECT_EQ(path.substr(1, 2), u":\\");
    EXPECT_NE(path.back(), u'\\');
    EXPECT_NE(Attributes(path) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  EXPECT_NE(KnownFolderPath(kCsidlLocalAppData), KnownFolderPath(kCsidlDesktop));
}

TEST(KnownFolderPathWin32, UnknownFolderIsEmpty) {
  EXPECT_EQ(KnownFolderPath(0x7E), u"");
  EXPECT_EQ(KnownFolderPath(-1), u"");
}

TEST(ApplyFileAttributesWin32, AppliesTheWordAsItStands) {
  TempDir tmp;
  const WString file = tmp.W(u"файл.dll");
  WriteFileBytes(ToPath(file), "x");

  // Archive and not-content-indexed, as a Windows archiver stores them.
  ASSERT_TRUE(ApplyFileAttributes(file, 0x2020));
  EXPECT_EQ(Attributes(file), AttributesAsStored(0x2020));

  ASSERT_TRUE(
      ApplyFileAttributes(file, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(Attributes(file),
            AttributesAsStored(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_FALSE(DeleteFileW(W(file)));

  ASSERT_TRUE(ApplyFileAttributes(file, FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Attributes(file), AttributesAsStored(FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(ApplyFileAttributes(file, FILE_ATTRIBUTE_NORMAL));
}

TEST(ModuleFileNameWin32, IsThisProgram) {
  const WString self = ModuleFileName();
  ASSERT_GT(self.size(), 3u);
  EXPECT_EQ(self.substr(1, 2), u":\\");
  const WString name = u"\\platform_win32_test.exe";
  EXPECT_EQ(self.substr(self.size() - name.size()), name);
  EXPECT_TRUE(PathExists(self));
}

TEST(ShellOpenWin32, StartsTheProgramInTheGivenFolder) {
  TempDir tmp;
  const WString work = tmp.W(kForeignFolder);
  ASSERT_TRUE(MakeDirectory(work));
  const WString probe = tmp.W(u"ZyvSHelp.exe");
  ASSERT_TRUE(CopyFileW(W(OwnFolder() + u"\\zyv_probe.exe"), W(probe), TRUE));

  ASSERT_TRUE(ShellOpen(u"open", probe, u"", work, kShowNormal));
  EXPECT_EQ(AwaitProbe(work), Utf16ToUtf8(probe));
  EXPECT_FALSE(ShellOpen(u"open", tmp.W(u"missing.exe"), u"", work, kShowNormal));
}

TEST(FrameworkServicesWin32, CommonControlsCheckTheRecordSize) {
  EXPECT_TRUE(InitCommonControlsClasses(sizeof(INITCOMMONCONTROLSEX), 0xFF));
  EXPECT_EQ(sizeof(INITCOMMONCONTROLSEX), 8u);  // the size the installer passes
  EXPECT_FALSE(InitCommonControlsClasses(4, 0xFF));
  EXPECT_TRUE(RegisterForRestart(0));
}

/// The progress window on screen, if any, and its bar's position.
struct Shown {
  bool window = false;
  int position = -1;
};

Shown ProgressWindowNow(const wchar_t* caption) {
  Shown shown;
  const HWND window = FindWindowW(L"ZyvInstallProgress", caption);
  shown.window = window != nullptr && IsWindowVisible(window);
  if (const HWND bar =
          window != nullptr ? FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr) : nullptr) {
    DWORD_PTR pos = 0;
    if (SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_BLOCK, 1000, &pos))
      shown.position = static_cast<int>(pos);
  }
  return shown;
}

TEST(RunShowingProgressWin32, AWindowWithABarForLongWorkOnlyAndGoneAfterIt) {
  // Windows need a screen: under Wine an X display, which the test progress_window_win32 provides.
  if (UnderWine() && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) GTEST_SKIP() << "no display";
  ASSERT_TRUE(InitCommonControlsClasses(sizeof(INITCOMMONCONTROLSEX), 0xFF));
  const DWORD ui_thread = GetCurrentThreadId();
  Shown early, late;
  DWORD work_thread = 0;
  RunShowingProgress(u"Kelvora-test", u"正在安装…", [&](ProgressSink& progress) {
    work_thread = GetCurrentThreadId();
    progress.Report(1, 4);
    Sleep(200);
    early = ProgressWindowNow(L"Kelvora-test");
    // From half a second on, within what a loaded machine needs to draw a first window.
    for (int i = 0; i < 200 && !(late.window && late.position == 250); ++i) {
      Sleep(50);
      late = ProgressWindowNow(L"Kelvora-test");
    }
  });
  EXPECT_NE(work_thread, ui_thread);
  EXPECT_FALSE(early.window);  // not for the first half second
  EXPECT_TRUE(late.window);
  EXPECT_EQ(late.position, 250);  // a quarter of the archive read
  EXPECT_FALSE(ProgressWindowNow(L"Kelvora-test").window);

  Shown during;
  RunShowingProgress(u"Kelvora-test", u"正在安装…", [&](ProgressSink&) {
    Sleep(100);
    during = ProgressWindowNow(L"Kelvora-test");
  });
  EXPECT_FALSE(during.window);
}

}  // namespace
}  // namespace zyv
