// What only the Windows operations do: names outside the ANSI code page, the shell's folders,
// attribute words applied as they stand, the shell start.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/zyv_install_app.h"
#include "gtest/gtest.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/upcase.h"
#include "platform/win32/shell_open.h"
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

TEST(ApplyFileAttributesWin32, AppliesTheWordAsItStands) {
  TempDir tmp;
  const WString file = tmp.W(u"файл.dll");
  WriteFileBytes(ToPath(file), "x");

  // Archive and not-content-indexed, as a Windows archiver stores them.
  ASSERT_TRUE(ApplyFileAttributes(file, 0x2020, 0));
  EXPECT_EQ(Attributes(file), AttributesAsStored(0x2020));

  ASSERT_TRUE(
      ApplyFileAttributes(file, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0));
  EXPECT_EQ(Attributes(file),
            AttributesAsStored(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_FALSE(DeleteFileW(W(file)));

  ASSERT_TRUE(ApplyFileAttributes(file, FILE_ATTRIBUTE_NORMAL, 0));
  EXPECT_EQ(Attributes(file), AttributesAsStored(FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(ApplyFileAttributes(file, FILE_ATTRIBUTE_NORMAL, 0));
}

TEST(ModuleFileNameWin32, IsThisProgram) {
  const WString self = ModuleFileName();
  ASSERT_GT(self.size(), 3u);
  EXPECT_EQ(self.substr(1, 2), u":\\");
  const WString name = u"\\platform_win32_test.exe";
  EXPECT_EQ(self.substr(self.size() - name.size()), name);
  EXPECT_TRUE(PathExists(self));
}

TEST(ShellOpenWin32, StartsTheProgramInTheGivenFolderThroughTheDesktopShellWhenElevated) {
  // Wine runs every process elevated, and its desktop answers as Explorer's does: the program is
  // started by the desktop shell's process. Where no desktop shell answers, by this one.
  ASSERT_TRUE(win32::RunsElevated() || !UnderWine());
  TempDir tmp;
  const WString probe = tmp.W(u"ZyvSHelp.exe");
  ASSERT_TRUE(CopyFileW(W(OwnFolder() + u"\\zyv_probe.exe"), W(probe), TRUE));
  const std::string self = Utf16ToUtf8(ModuleFileName().substr(ModuleFileName().find_last_of(u'\\') + 1));
  for (const bool shell_there : {true, false}) {
    SCOPED_TRACE(shell_there ? "through the desktop shell" : "without one");
    const WString work = tmp.W(kForeignFolder + (shell_there ? u"1" : u"2"));
    ASSERT_TRUE(MakeDirectory(work));
    win32::g_no_desktop_shell = !shell_there;
    ASSERT_TRUE(ShellOpen(u"open", probe, u"", work, kShowNormal));
    win32::g_no_desktop_shell = false;
    const std::string started = AwaitProbe(work);
    const std::size_t line = started.find('\n');
    EXPECT_EQ(started.substr(0, line), Utf16ToUtf8(probe));
    const std::string parent = line == std::string::npos ? "" : started.substr(line + 1);
    if (shell_there && win32::RunsElevated()) {
      EXPECT_EQ(UpcaseNtfs(Utf8ToUtf16(parent)), u"EXPLORER.EXE");
    } else {
      EXPECT_EQ(parent, self);
    }
  }
  EXPECT_FALSE(ShellOpen(u"open", tmp.W(u"missing.exe"), u"", tmp.W(), kShowNormal));
}

TEST(FrameworkServicesWin32, CommonControlsTakeTheInstallersRecordAndCheckItsSize) {
  EXPECT_TRUE(InitCommonControlsClasses(kCommonControlsRecordSize, kCommonControlsClasses));
  EXPECT_FALSE(InitCommonControlsClasses(kCommonControlsRecordSize - 4, kCommonControlsClasses));
  EXPECT_TRUE(RegisterForRestart(0));
}

/// The progress window on screen, if any, its bar's position, and its layout in pixels (label
/// and bar in client coordinates) with the room its label's text needs in the label's font.
struct Shown {
  bool window = false;
  int position = -1;
  RECT client{}, label{}, bar{}, text{};
  LOGFONTW font{};
};

RECT ChildRect(HWND window, HWND child) {
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

Shown ProgressWindowNow(const wchar_t* caption) {
  Shown shown;
  const HWND window = FindWindowW(L"ZyvInstallProgress", caption);
  shown.window = window != nullptr && IsWindowVisible(window);
  if (!shown.window) return shown;
  GetClientRect(window, &shown.client);
  if (const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr)) {
    DWORD_PTR pos = 0;
    if (SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_BLOCK, 1000, &pos))
      shown.position = static_cast<int>(pos);
    shown.bar = ChildRect(window, bar);
  }
  if (const HWND label = FindWindowExW(window, nullptr, L"STATIC", nullptr)) {
    shown.label = ChildRect(window, label);
    DWORD_PTR font = 0;
    SendMessageTimeoutW(label, WM_GETFONT, 0, 0, SMTO_BLOCK, 1000, &font);
    wchar_t text[256] = {};
    const int length = GetWindowTextW(label, text, 256);
    const HDC dc = GetDC(label);
    const HGDIOBJ old =
        SelectObject(dc, font != 0 ? reinterpret_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
    GetObjectW(GetCurrentObject(dc, OBJ_FONT), sizeof shown.font, &shown.font);
    shown.text = {0, 0, shown.label.right - shown.label.left, 0};
    DrawTextW(dc, text, length, &shown.text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_LEFT);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
  }
  return shown;
}

/// What is on the screen where window is, as a 24-bit BMP file at path.
void SaveScreenshot(HWND window, const test::fs::path& path) {
  RECT r{};
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  std::string pixels(static_cast<size_t>((width * 3 + 3) & ~3) * height, '\0');
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  WriteFileBytes(path, bytes + pixels);
}

TEST(RunShowingProgressWin32, AWindowWithABarForLongWorkOnlyAndGoneAfterIt) {
  // Windows need a screen: under Wine an X display, which the tests progress_window_win32_DPI
  // provide, at that DPI (LogPixels), saving what the window looks like to $ZYV_PROGRESS_SCREENSHOT.
  if (UnderWine() && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) GTEST_SKIP() << "no display";
  SetProcessDPIAware();  // as the installer's manifest declares it
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
    if (const char* path = std::getenv("ZYV_PROGRESS_SCREENSHOT"); path != nullptr && late.window) {
      Sleep(300);  // the bar's new position drawn
      SaveScreenshot(FindWindowW(L"ZyvInstallProgress", L"Kelvora-test"), test::HostPath(path));
    }
  });
  EXPECT_NE(work_thread, ui_thread);
  EXPECT_FALSE(early.window);  // not for the first half second
  EXPECT_TRUE(late.window);
  EXPECT_EQ(late.position, 250);  // a quarter of the archive read
  EXPECT_FALSE(ProgressWindowNow(L"Kelvora-test").window);

  // Laid out for the screen's DPI: margins, width and bar scaled from their size at 96, the label
  // as high as its font's text, nothing cut off or overlapping.
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (const char* want = std::getenv("ZYV_PROGRESS_DPI")) {
    EXPECT_EQ(dpi, std::atoi(want)) << "the screen is not at the DPI the test was started for";
  }
  const auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
  const RECT& label = late.label;
  const RECT& bar = late.bar;
  EXPECT_GE(late.client.right, scaled(360));
  EXPECT_EQ(label.left, scaled(20));
  EXPECT_GE(label.top, scaled(10));
  EXPECT_GE(label.bottom - label.top, late.text.bottom) << "the label's text is cut off";
  EXPECT_GE(label.right - label.left, late.text.right) << "the label's text is cut off";
  EXPECT_GE(std::abs(late.font.lfHeight) * 72, 6 * dpi)
      << "a font of " << late.font.lfHeight << " px at " << dpi;
  EXPECT_GE(bar.top, label.bottom);
  EXPECT_EQ(bar.left, label.left);
  EXPECT_EQ(bar.bottom - bar.top, scaled(20));
  EXPECT_LE(late.client.bottom - bar.bottom, scaled(24));
  EXPECT_GE(late.client.bottom - bar.bottom, scaled(16));
  EXPECT_EQ(late.client.right - bar.right, scaled(20));

  Shown during;
  RunShowingProgress(u"Kelvora-test", u"正在安装…", [&](ProgressSink&) {
    Sleep(100);
    during = ProgressWindowNow(L"Kelvora-test");
  });
  EXPECT_FALSE(during.window);
}

/// Holds path open without letting anyone rename or delete it, from another thread, for ms.
class Holder {
 public:
  Holder(const WString& path, int ms)
      : file_(CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)),
        thread_([this, ms] {
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          CloseHandle(file_);
        }) {}
  ~Holder() { thread_.join(); }
  bool held() const { return file_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE file_;
  std::thread thread_;
};

TEST(FilesInUseWin32, ARenameWaitsForAFileHeldForAMomentNotForOneHeldOpen) {
  TempDir tmp;
  const WString file = tmp.W(u"新.dll"), moved = tmp.W(u"moved.dll");
  WriteFileBytes(ToPath(file), "x");
  {
    // A scanner reading a file just written lets go within a moment: the rename goes through.
    const Holder scanner(file, 300);
    ASSERT_TRUE(scanner.held());
    EXPECT_TRUE(RenameFile(file, moved));
  }
  EXPECT_TRUE(PathExists(moved));
  // A program that keeps the file open: the rename gives up, with the system's reason, in seconds.
  const Holder program(moved, 3000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RenameFile(moved, file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  // Never over an existing file, and read-only files are removed all the same.
  WriteFileBytes(ToPath(file), "y");
  EXPECT_FALSE(RenameFile(file, moved));
  EXPECT_EQ(ReadFileBytes(ToPath(moved)), "x");
  ASSERT_TRUE(SetFileAttributesW(W(file), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(PathExists(file));
}

TEST(FolderLockWin32, OneProcessAtATimeAndFreeAgainOnceReleased) {
  TempDir tmp;
  // A mutex is its owner thread's again and again, so the others ask from a thread of their own.
  const auto other = [&] {
    FolderLock::State state{};
    std::thread([&] { state = FolderLock(tmp.W(u"dudizu")).state(); }).join();
    return state;
  };
  {
    const FolderLock first(tmp.W(u"dudizu"));
    ASSERT_EQ(first.state(), FolderLock::State::kHeld);
    EXPECT_EQ(other(), FolderLock::State::kBusy);
    EXPECT_EQ(FolderLock(tmp.W(u"another")).state(), FolderLock::State::kHeld);
  }
  EXPECT_EQ(other(), FolderLock::State::kHeld);
}

}  // namespace
}  // namespace zyv
