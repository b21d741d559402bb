// The POSIX side of the platform: XDG folders, modes from attribute words, the detached start,
// and the settings writer's byte-level promises.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/file_write.h"
#include "platform/posix/posix_internal.h"
#include "tests/test_util.h"

namespace zyv {
namespace {

using test::ReadFileBytes;
using test::ScopedEnv;
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

mode_t ModeOf(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

WString U16(const std::string& utf8) { return test::ToWString(fs::path(utf8)); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// Waits up to ten seconds for a file that another process writes.
bool WaitForFile(const fs::path& p) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(p)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// ---- Known folders -------------------------------------------------------------------------

TEST(KnownFolderPath, LocalAppDataIsXdgDataHomeWithoutTrailingSlash) {
  TempDir data_home;
  ScopedEnv home("HOME", "/home/tester");
  ScopedEnv data("XDG_DATA_HOME", data_home.path().string() + "/data/");
  EXPECT_EQ(KnownFolderPath(kCsidlLocalAppData), U16(data_home.path().string() + "/data"));
}

TEST(KnownFolderPath, LocalAppDataFallsBackToHomeForUnsetOrRelativeXdgDataHome) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path().string() + "/");
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("relative/data")}) {
    ScopedEnv data("XDG_DATA_HOME", value);
    EXPECT_EQ(KnownFolderPath(kCsidlLocalAppData), U16(home.path().string() + "/.local/share"));
  }
}

TEST(KnownFolderPath, LocalAppDataIsCreatedPrivateWhenMissing) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path().string());
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(KnownFolderPath(kCsidlLocalAppData), U16(home.path().string() + "/.local/share"));
  EXPECT_TRUE(fs::is_directory(home.path() / ".local" / "share"));
  EXPECT_EQ(ModeOf(home.path() / ".local"), 0700u);
  EXPECT_EQ(ModeOf(home.path() / ".local" / "share"), 0700u);
  // An existing folder keeps its mode.
  chmod((home.path() / ".local" / "share").c_str(), 0755);
  KnownFolderPath(kCsidlLocalAppData);
  EXPECT_EQ(ModeOf(home.path() / ".local" / "share"), 0755u);
}

TEST(KnownFolderPath, EmptyWithoutAnAbsoluteHomeOrForAnUnknownFolder) {
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("home/tester")}) {
    ScopedEnv home("HOME", value);
    EXPECT_EQ(KnownFolderPath(kCsidlLocalAppData), u"");
    EXPECT_EQ(KnownFolderPath(kCsidlDesktop), u"");
  }
  ScopedEnv home("HOME", "/home/tester");
  EXPECT_EQ(KnownFolderPath(0x05), u"");  // CSIDL_PERSONAL: not one this platform maps
}

class DesktopFolder : public ::testing::Test {
 protected:
  /// Writes user-dirs.dirs with the given XDG_DESKTOP_DIR line(s) and answers the desktop folder.
  WString DesktopFor(const std::string& lines) {
    WriteFileBytes(
        config_.path() / "user-dirs.dirs",
        "# This file is written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n" + lines);
    return KnownFolderPath(kCsidlDesktop);
  }

  TempDir config_;
  ScopedEnv home_{"HOME", "/home/tester"};
  ScopedEnv config_home_{"XDG_CONFIG_HOME", config_.path().string()};
};

TEST_F(DesktopFolder, ReadsTheFileAsTheShellWould) {
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=\"$HOME/桌面\"\n"), u"/home/tester/桌面");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=\"${HOME}/Work Desk/\"\r\n"), u"/home/tester/Work Desk");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=\"$HOME/My \\\"Desk\\\" \\$1\"\n"), u"/home/tester/My \"Desk\" $1");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=\"/srv/desk\"\n"), u"/srv/desk");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR='/literal/$HOME'\n"), u"/literal/$HOME");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=$HOME/bare\\ name # comment\n"), u"/home/tester/bare name");
  EXPECT_EQ(DesktopFor("XDG_DESKTOP_DIR=\"$HOME\"\n"), u"/home/tester");
  // The last assignment wins, as when the file is sourced; a commented one does not count.
  EXPECT_EQ(
      DesktopFor("XDG_DESKTOP_DIR=\"$HOME/one\"\nXDG_DESKTOP_DIR=\"$HOME/two\"\n#XDG_DESKTOP_DIR=\"/x\"\n"),
      u"/home/tester/two");
}

TEST_F(DesktopFolder, FallsBackToHomeDesktopForValuesItCannotTrust) {
  for (const char* line : {"XDG_DESKTOP_DIR=\"Desktop\"\n", "XDG_DESKTOP_DIR=\"$OTHER/x\"\n",
                           "XDG_DESKTOP_DIR=\"$(echo /tmp)\"\n", "XDG_DESKTOP_DIR=\"`pwd`\"\n",
                           "XDG_DESKTOP_DIR=\"$HOME/unterminated\n", "XDG_DESKTOP_DIR=\n",
                           "XDG_DESKTOP_DIRS=\"/other\"\n", ""}) {
    EXPECT_EQ(DesktopFor(line), u"/home/tester/Desktop") << line;
  }
}

TEST(KnownFolderPath, DesktopIgnoresARelativeXdgConfigHome) {
  TempDir home;
  fs::create_directories(home.path() / ".config");
  WriteFileBytes(home.path() / ".config" / "user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  ScopedEnv home_env("HOME", home.path().string());
  ScopedEnv config("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(KnownFolderPath(kCsidlDesktop), U16(home.path().string() + "/Schreibtisch"));
  ScopedEnv no_config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(KnownFolderPath(kCsidlDesktop), U16(home.path().string() + "/Schreibtisch"));
}

// ---- Paths -----------------------------------------------------------------------------------

TEST(NativePath, IsUtf8AndRefusesEmbeddedNul) {
  std::string native;
  ASSERT_TRUE(posix::NativePath(u"/home/张三/.local/share\U0001F600", native));
  EXPECT_EQ(native, "/home/\xE5\xBC\xA0\xE4\xB8\x89/.local/share\xF0\x9F\x98\x80");
  ASSERT_TRUE(posix::NativePath(std::u16string{u'a', char16_t(0xD800), u'b'}, native));
  EXPECT_EQ(native,
            "a\xEF\xBF\xBD"
            "b");
  // Cut at the NUL, the path would name another file.
  EXPECT_FALSE(posix::NativePath(std::u16string(u"/tmp/a\0b", 8), native));
  EXPECT_FALSE(PathExists(std::u16string(u"/tmp\0/x", 7)));
}

TEST(PathExists, CountsADanglingLink) {
  TempDir dir;
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "link");
  EXPECT_TRUE(PathExists(dir.W(u"link")));  // something is there, as Windows would also say
}

TEST(ModuleFileName, IsThisTestProgram) {
  const WString name = ModuleFileName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.front(), u'/');
  EXPECT_EQ(fs::canonical(test::ToPath(name)),
            fs::canonical(fs::path(ZYV_BINARY_DIR) / "tests" / "platform_posix_test"));
}

/// The VmFlags line of the mapping of /proc/self/smaps that holds address; empty if none does.
std::string VmFlagsAt(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long begin = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &begin, &end) == 2 && line.find(':') > line.find(' ')) {
      inside = begin <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return {};
}

TEST(PreferLargePages, AdvisesOnlyTheWholePagesInsideAnUnalignedBlock) {
  if (!fs::exists("/sys/kernel/mm/transparent_hugepage")) GTEST_SKIP() << "kernel without huge pages";
  constexpr std::size_t kSize = std::size_t{8} << 20;
  std::vector<unsigned char> storage(kSize + 64);
  unsigned char* block = storage.data() + 1;  // not page-aligned at either end
  PreferLargePages(block, 100);               // no whole page inside: nothing to advise
  PreferLargePages(nullptr, kSize);
  EXPECT_EQ(VmFlagsAt(block).find(" hg"), std::string::npos) << VmFlagsAt(block);
  PreferLargePages(block, kSize);
  EXPECT_NE(VmFlagsAt(block + kSize / 2).find(" hg"), std::string::npos) << VmFlagsAt(block + kSize / 2);
  // The partial pages at either end hold other data: their advice is their owners' to give.
  EXPECT_EQ(VmFlagsAt(block).find(" hg"), std::string::npos) << VmFlagsAt(block);
  EXPECT_EQ(VmFlagsAt(block + kSize - 1).find(" hg"), std::string::npos) << VmFlagsAt(block + kSize - 1);
}

// ---- Attributes ------------------------------------------------------------------------------

constexpr std::uint32_t Mode(std::uint32_t mode) { return (mode << 16) | 0x8000; }

TEST(ApplyFileAttributes, AppliesTheModePermissionBitsOnlyLessTheMaskGiven) {
  TempDir dir;
  ScopedUmask mask(077);  // the process's own mask is not looked at again: the one given applies
  EXPECT_EQ(FileCreationMask(), 077u);
  const fs::path f = dir.path() / "f";
  WriteFileBytes(f, "x");
  struct Case {
    std::uint32_t attrib;
    mode_t expected;
  };
  for (const Case& c : {Case{Mode(0100755), 0755}, Case{Mode(0100600) | 0x20, 0600},
                        Case{Mode(0104755), 0755},  // setuid dropped
                        Case{Mode(0106775), 0755},  // setgid dropped, group write masked
                        Case{Mode(0101777), 0755},  // sticky dropped, world write masked
                        Case{Mode(0100644) | 0x1, 0444}, Case{Mode(0100000), 0}}) {
    EXPECT_TRUE(ApplyFileAttributes(test::ToWString(f), c.attrib, 022)) << std::oct << c.attrib;
    EXPECT_EQ(ModeOf(f), c.expected) << std::oct << c.attrib;
  }
}

TEST(ApplyFileAttributes, WindowsAttributesKeepTheModeButReadOnlyClearsWriteBits) {
  TempDir dir;
  const fs::path f = dir.path() / "f";
  WriteFileBytes(f, "x");
  chmod(f.c_str(), 0664);
  EXPECT_TRUE(ApplyFileAttributes(test::ToWString(f), 0x20 | 0x2000, 022));  // archive, not indexed
  EXPECT_EQ(ModeOf(f), 0664u);
  EXPECT_TRUE(ApplyFileAttributes(test::ToWString(f), 0x21, 022));  // read-only
  EXPECT_EQ(ModeOf(f), 0444u);
}

TEST(ApplyFileAttributes, RefusesLinksAndMissingFiles) {
  TempDir dir;
  const fs::path target = dir.path() / "target";
  WriteFileBytes(target, "x");
  chmod(target.c_str(), 0644);
  fs::create_symlink(target, dir.path() / "link");
  EXPECT_FALSE(ApplyFileAttributes(dir.W(u"link"), Mode(0100777), 022));
  EXPECT_FALSE(ApplyFileAttributes(dir.W(u"link"), 0x1, 022));
  EXPECT_EQ(ModeOf(target), 0644u);
  EXPECT_FALSE(ApplyFileAttributes(dir.W(u"missing"), 0x1, 022));
}

// ---- Whole-file writes ------------------------------------------------------------------------

TEST(WriteReplacing, TakesOverALeftTemporaryFileButNeverWritesThroughALinkThere) {
  TempDir dir;
  const fs::path file = dir.path() / "file", temp = dir.path() / ".file.writing";
  WriteFileBytes(file, "old");
  WriteFileBytes(temp, "left by a run killed before its rename");
  ASSERT_TRUE(posix::WriteReplacing(file, temp, "new", 0640));
  EXPECT_EQ(ReadFileBytes(file), "new");
  EXPECT_EQ(ModeOf(file), 0640u);
  EXPECT_FALSE(fs::exists(temp));

  // A link planted at the temporary name would send the bytes elsewhere.
  WriteFileBytes(dir.path() / "elsewhere", "kept");
  fs::create_symlink(dir.path() / "elsewhere", temp);
  EXPECT_FALSE(posix::WriteReplacing(file, temp, "newer", 0640));
  EXPECT_EQ(ReadFileBytes(dir.path() / "elsewhere"), "kept");
  EXPECT_EQ(ReadFileBytes(file), "new");
}

// ---- Settings files --------------------------------------------------------------------------

class IniFile : public ::testing::Test {
 protected:
  /// Writes contents, sets [ZeReveza] install=value and answers the file's bytes afterwards.
  std::string After(const std::string& contents, const WString& value = u"Setup.exe") {
    WriteFileBytes(path_, contents);
    EXPECT_TRUE(WriteIniValue(u"ZeReveza", u"install", value, test::ToWString(path_)));
    return ReadFileBytes(path_);
  }

  TempDir dir_;
  fs::path path_ = dir_.path() / "config.ini";
};

TEST_F(IniFile, KeepsLineEndingsSpacingAndCommentsOfTheFile) {
  EXPECT_EQ(After("[ZeReveza]\nlang=zh\n"), "[ZeReveza]\nlang=zh\ninstall=Setup.exe\n");
  EXPECT_EQ(After("[ZeReveza]\nlang=zh\n", u""), "[ZeReveza]\nlang=zh\ninstall=\n");
  EXPECT_EQ(After("; settings\r\n[ ZeReveza ] ; main\r\n\t Install  =  old value  \r\nx = 1\r\n"),
            "; settings\r\n[ ZeReveza ] ; main\r\n\t Install  =  Setup.exe  \r\nx = 1\r\n");
  // Appended after the section's last non-blank line, before the blank lines that part sections.
  EXPECT_EQ(After("[ZeReveza]\r\na=1\r\n; about b\r\n\r\n\r\n[Next]\r\n"),
            "[ZeReveza]\r\na=1\r\n; about b\r\ninstall=Setup.exe\r\n\r\n\r\n[Next]\r\n");
  EXPECT_EQ(After("[ZeReveza]\n\n[Next]\n"), "[ZeReveza]\ninstall=Setup.exe\n\n[Next]\n");
}

TEST_F(IniFile, GivesALastLineItsLineEndingBeforeAppending) {
  EXPECT_EQ(After("[ZeReveza]\r\na=1"), "[ZeReveza]\r\na=1\r\ninstall=Setup.exe\r\n");
  EXPECT_EQ(After("[First]\nid=1"), "[First]\nid=1\n[ZeReveza]\ninstall=Setup.exe\n");
  EXPECT_EQ(After("[ZeReveza]"), "[ZeReveza]\ninstall=Setup.exe\n");
  EXPECT_EQ(After(""), "[ZeReveza]\ninstall=Setup.exe\n");
}

TEST_F(IniFile, ChangesWhatTheProfileReaderWouldRead) {
  // The first of two sections and the first of two keys; a bare name is the key without a value;
  // a key of the same name elsewhere, or one commented out, is not it.
  EXPECT_EQ(After("install=top\n[ZeReveza]\ninstall=1\ninstall=2\n[zerEVEZA]\ninstall=3\n"),
            "install=top\n[ZeReveza]\ninstall=Setup.exe\ninstall=2\n[zerEVEZA]\ninstall=3\n");
  EXPECT_EQ(After("[ZeReveza]\n  install  \nb=2\n"), "[ZeReveza]\n  install=Setup.exe  \nb=2\n");
  EXPECT_EQ(After("[ZeReveza]\n;install=old\n"), "[ZeReveza]\n;install=old\ninstall=Setup.exe\n");
  EXPECT_EQ(After("[ZeRevezaX]\ninstall=1\n[Ze]\n"),
            "[ZeRevezaX]\ninstall=1\n[Ze]\n[ZeReveza]\ninstall=Setup.exe\n");
}

TEST_F(IniFile, KeepsBytesThatAreNotUtf8AndWritesValuesAsUtf8) {
  // A value in a legacy code page elsewhere in the file is not touched.
  EXPECT_EQ(After("\xEF\xBB\xBF[ZeReveza]\r\nname=\xC4\xE3\xBA\xC3\r\n", u"安装.exe"),
            "\xEF\xBB\xBF[ZeReveza]\r\nname=\xC4\xE3\xBA\xC3\r\ninstall=\xE5\xAE\x89\xE8\xA3\x85.exe\r\n");
}

TEST_F(IniFile, KeepsAUtf16FileInUtf16) {
  const std::u16string before = u"\uFEFF[ZeReveza]\r\ninstall=old\r\n";
  const std::u16string expected = u"\uFEFF[ZeReveza]\r\ninstall=安装.exe\r\n";
  const auto encode = [](const std::u16string& s, bool big) {
    std::string bytes;
    for (const char16_t c : s) {
      const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
      bytes += big ? hi : lo;
      bytes += big ? lo : hi;
    }
    return bytes;
  };
  EXPECT_EQ(After(encode(before, false), u"安装.exe"), encode(expected, false));
  EXPECT_EQ(After(encode(before, true), u"安装.exe"), encode(expected, true));
}

TEST_F(IniFile, RefusesNamesAndValuesThatWouldChangeOtherLines) {
  const std::string original = "[ZeReveza]\ninstall=old\n";
  WriteFileBytes(path_, original);
  const WString file = test::ToWString(path_);
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"x\n[Evil]\nrun=1", file));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"x\ry", file));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", std::u16string(u"x\0y", 3), file));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"in=stall", u"x", file));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u";install", u"x", file));
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"  ", u"x", file));
  EXPECT_FALSE(WriteIniValue(u"Ze]Reveza", u"install", u"x", file));
  EXPECT_FALSE(WriteIniValue(u"", u"install", u"x", file));
  EXPECT_EQ(ReadFileBytes(path_), original);
}

TEST_F(IniFile, ReplacesTheFileWholeAndKeepsItsModeAndLinks) {
  ScopedUmask mask(022);
  EXPECT_TRUE(WriteIniValue(u"ZeReveza", u"install", u"x", test::ToWString(path_)));
  EXPECT_EQ(ModeOf(path_), 0644u);  // a new file: what the umask allows
  chmod(path_.c_str(), 0600);
  After("[ZeReveza]\n");
  EXPECT_EQ(ModeOf(path_), 0600u);
  // Nothing left beside it: the temporary file became the file.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);

  // Through a link, the linked file changes and the link stays.
  const fs::path real = dir_.path() / "real.ini";
  WriteFileBytes(real, "[ZeReveza]\n");
  fs::create_symlink(real, dir_.path() / "link.ini");
  EXPECT_TRUE(WriteIniValue(u"ZeReveza", u"install", u"x", dir_.W(u"link.ini")));
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "link.ini"));
  EXPECT_EQ(ReadFileBytes(real), "[ZeReveza]\ninstall=x\n");
}

TEST_F(IniFile, RefusesWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"x", test::ToWString(path_)));  // and does not block
  EXPECT_TRUE(fs::is_fifo(path_));
}

TEST_F(IniFile, FailsWithoutTouchingAFileItCannotRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  WriteFileBytes(path_, "[ZeReveza]\ninstall=old\n");
  chmod(path_.c_str(), 0200);
  EXPECT_FALSE(WriteIniValue(u"ZeReveza", u"install", u"x", test::ToWString(path_)));
  chmod(path_.c_str(), 0600);
  EXPECT_EQ(ReadFileBytes(path_), "[ZeReveza]\ninstall=old\n");
}

// ---- Starting programs -----------------------------------------------------------------------

class ShellOpenTest : public ::testing::Test {
 protected:
  /// An executable /bin/sh script in dir_/folder that waits for dir_/go, then records its working
  /// folder, its session, its open descriptors, whether it has input and its arguments, one a
  /// line, in dir_/out, written whole.
  WString Script(const std::string& folder) {
    fs::create_directories(dir_.path() / folder);
    const fs::path script = dir_.path() / folder / "program.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "while [ ! -e '" << (dir_.path() / "go").string() << "' ]; do sleep 0.02; done\n"
                          << "out='" << (dir_.path() / "out").string() << "'\n"
                          << "{ pwd -P; cut -d' ' -f6 /proc/$$/stat; ls /proc/$$/fd | tr '\\n' ' '; echo;"
                          << "  if read -r line; then echo stdin; else echo no-stdin; fi;"
                          << "  echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } > \"$out.tmp\"\n"
                          << "mv \"$out.tmp\" \"$out\"\n";
    fs::permissions(script, fs::perms::owner_all);
    return test::ToWString(script);
  }

  /// Lets the script go on and answers what it recorded.
  std::string Recorded() {
    WriteFileBytes(dir_.path() / "go", "");
    EXPECT_TRUE(WaitForFile(dir_.path() / "out"));
    return ReadFileBytes(dir_.path() / "out");
  }

  TempDir dir_;
};

TEST_F(ShellOpenTest, StartsTheProgramDetachedInItsFolderWithoutWaiting) {
  const WString program = Script("安装 folder");
  const WString folder = dir_.W(u"安装 folder");
  // A descriptor of ours without close-on-exec, which the program must not receive.
  const int leaked = dup2(open("/dev/null", O_RDONLY), 57);
  ASSERT_EQ(leaked, 57);
  // The script waits for a file that is only written after ShellOpen returns: had it waited for
  // the program, this would never return.
  const bool started = ShellOpen(u"open", program, u"", folder, kShowNormal);
  close(leaked);
  ASSERT_TRUE(started);
  // Nothing of it is left for us to reap.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  const std::vector<std::string> lines = Lines(Recorded());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], fs::canonical(test::ToPath(folder)).string());
  EXPECT_NE(lines[1], std::to_string(getsid(0)));  // a session of its own
  EXPECT_EQ((" " + lines[2]).find(" 57 "), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3], "no-stdin");
  EXPECT_EQ(lines[4], "0");  // "" means no arguments, not one empty one
}

TEST_F(ShellOpenTest, SplitsParametersAsAWindowsCommandLine) {
  const WString program = Script("app");
  ASSERT_TRUE(
      ShellOpen(u"OPEN", program, u"one  \"two words\" a\\\"b c:\\dir\\ \"\"", dir_.W(u"app"), kShowNormal));
  const std::vector<std::string> lines = Lines(Recorded());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
            (std::vector<std::string>{"5", "[one]", "[two words]", "[a\"b]", "[c:\\dir\\]", "[]"}));
}

TEST_F(ShellOpenTest, ReportsWhatCannotStart) {
  const WString program = Script("app");
  const WString folder = dir_.W(u"app");
  // The child's own reason comes back, whether exec or the change of folder failed.
  errno = 0;
  EXPECT_FALSE(ShellOpen(u"open", dir_.W(u"missing"), u"", folder, kShowNormal));
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_FALSE(ShellOpen(u"open", program, u"", dir_.W(u"no-such-folder"), kShowNormal));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(ShellOpen(u"print", program, u"", folder, kShowNormal));
  EXPECT_FALSE(ShellOpen(u"open", u"", u"", folder, kShowNormal));
  fs::permissions(test::ToPath(program), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(ShellOpen(u"open", program, u"", folder, kShowNormal));  // not executable, even for root
  WriteFileBytes(dir_.path() / "app" / "data.bin",
                 "\x7F"
                 "ELF garbage");
  fs::permissions(dir_.path() / "app" / "data.bin", fs::perms::owner_all);
  EXPECT_FALSE(ShellOpen(u"open", dir_.W(u"app/data.bin"), u"", folder, kShowNormal));
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// ---- Messages --------------------------------------------------------------------------------

/// Points fd at another open file for the scope.
class ScopedRedirect {
 public:
  ScopedRedirect(int fd, int to) : fd_(fd), saved_(dup(fd)) { dup2(to, fd); }
  ~ScopedRedirect() {
    dup2(saved_, fd_);
    close(saved_);
  }
  ScopedRedirect(const ScopedRedirect&) = delete;
  ScopedRedirect& operator=(const ScopedRedirect&) = delete;

 private:
  int fd_, saved_;
};

/// A terminal of the test's own: Shown() closes the test's side and answers what was written to it.
class Terminal {
 public:
  Terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      terminal_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    }
  }
  ~Terminal() {
    if (terminal_ >= 0) close(terminal_);
    if (master_ >= 0) close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  int fd() const { return terminal_; }
  std::string Shown() {
    close(terminal_);
    terminal_ = -1;
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<size_t>(n));
    return shown;
  }

 private:
  int master_ = -1, terminal_ = -1;
};

/// Waits up to ten seconds for a file that another process writes to hold text.
bool WaitForText(const fs::path& p, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    if (ReadFileBytes(p) == text) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

/// A folder that is the whole PATH for the scope, with a desktop session or none, where stand-ins
/// for the dialog programs are put.
class DialogPrograms : public ::testing::Test {
 protected:
  /// An executable /bin/sh script called name in the folder.
  void Program(const std::string& name, const std::string& body) {
    const fs::path program = dir_.path() / name;
    std::ofstream(program) << "#!/bin/sh\n" << body;
    fs::permissions(program, fs::perms::owner_all);
  }

  /// A stand-in that takes a moment, then appends its name and its arguments, each in brackets on
  /// a line, to the file ran: found there when the call returns, it was waited for.
  void Recorder(const std::string& name) {
    Program(name, "/bin/sleep 0.2\nprintf '[%s]\\n' \"${0##*/}\" \"$@\" >> '" + Ran().string() + "'\n");
  }
  fs::path Ran() const { return dir_.path() / "ran"; }

  TempDir dir_;
  ScopedEnv path_{"PATH", dir_.path().string()};
  ScopedEnv display_{"DISPLAY", std::nullopt};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", std::nullopt};
};

class RunShowingProgressTest : public DialogPrograms {};

TEST_F(RunShowingProgressTest, ALineOnATerminalForLongWorkOnly) {
  Terminal terminal;
  ASSERT_GE(terminal.fd(), 0);
  ScopedEnv display("DISPLAY", ":0");  // a terminal's line wins over a dialog
  Recorder("zenity");
  std::thread::id worker;
  {
    const ScopedRedirect to_terminal(STDERR_FILENO, terminal.fd());
    RunShowingProgress(u"Kelvora", u"正在安装…", [&](ProgressSink& progress) {
      worker = std::this_thread::get_id();
      progress.Report(1, 4);
      usleep(900 * 1000);
    });
    RunShowingProgress(u"Kelvora", u"正在安装…", [](ProgressSink&) { usleep(100 * 1000); });
  }
  const std::string shown = terminal.Shown();

  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_NE(shown.find("\r正在安装… 25%"), std::string::npos) << shown;
  // The line ends once, complete, and the short work added nothing.
  EXPECT_TRUE(shown.ends_with("\r正在安装… 100%\r\n")) << shown;
  EXPECT_EQ(shown.find("100%"), shown.rfind("100%")) << shown;
  EXPECT_FALSE(fs::exists(Ran()));
}

TEST_F(RunShowingProgressTest, ADialogFedTheSameReportsAndClosedBeforeItReturnsInADesktopSession) {
  // The stand-in keeps each line it is fed as it comes, and moves the lot aside once its input ends.
  const fs::path fed = dir_.path() / "fed", closed = dir_.path() / "closed";
  Program("zenity", "printf '[%s]\\n' \"$@\" > '" + Ran().string() + "'\n" +
                        "while read -r line; do printf '%s\\n' \"$line\" >> '" + fed.string() + "'; done\n" +
                        "/bin/mv '" + fed.string() + "' '" + closed.string() + "'\n");
  ScopedEnv display("DISPLAY", ":0");
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  {
    // Started from a desktop: neither standard stream is a terminal.
    const ScopedRedirect out(STDOUT_FILENO, null), err(STDERR_FILENO, null);
    // Each report goes on only once the dialog has been fed the one before, so none is missed.
    RunShowingProgress(u"Kelvora", u"正在安装…", [&](ProgressSink& progress) {
      progress.Report(1, 4);
      EXPECT_TRUE(WaitForText(fed, "25\n"));
      progress.Report(3, 4);
      EXPECT_TRUE(WaitForText(fed, "25\n75\n"));
    });
    EXPECT_EQ(ReadFileBytes(closed), "25\n75\n100\n");  // brought to its end and gone
    EXPECT_EQ(ReadFileBytes(Ran()),
              "[--progress]\n[--auto-close]\n[--no-cancel]\n[--title=Kelvora]\n[--text=正在安装…]\n");
    fs::remove(Ran());
    RunShowingProgress(u"Kelvora", u"正在安装…", [](ProgressSink&) { usleep(100 * 1000); });
  }
  close(null);
  EXPECT_FALSE(fs::exists(Ran())) << "short work showed a dialog";
}

/// Where a message goes: the session's variables, the dialog programs on PATH, whether standard
/// output is a terminal, and the program that shows it with its arguments (empty: the line alone).
struct MessageCase {
  const char* what;
  const char* display;  // DISPLAY; nullptr: unset
  const char* wayland;  // WAYLAND_DISPLAY
  std::vector<std::string> programs;
  bool terminal;
  std::string shown;
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.what; }

// Markup, an ampersand, a backslash and a second line: shown exactly, never interpreted.
const char16_t kMessageText[] = u"安装失败，错误代码：11\r\n文件 /home/a/<b>&x\\y 无法写入";
const std::string kMessage = "安装失败，错误代码：11\n文件 /home/a/<b>&x\\y 无法写入";
const std::vector<std::string> kAll = {"zenity", "kdialog", "notify-send"};
const std::vector<std::string> kNoZenity = {"kdialog", "notify-send"};
const std::vector<std::string> kNotifySendOnly = {"notify-send"};
const std::string kZenity =
    "[zenity]\n[--info]\n[--no-markup]\n[--title=ZyvInstall]\n[--text=" + kMessage + "]\n";

const MessageCase kMessageCases[] = {
    {"NoSession", nullptr, nullptr, kAll, false, ""},
    {"EmptySessionVariables", "", "", kAll, false, ""},
    {"TerminalInASession", ":0", "wayland-0", kAll, true, ""},
    {"X11", ":0", nullptr, kAll, false, kZenity},
    {"Wayland", nullptr, "wayland-0", kAll, false, kZenity},
    {"KdialogWithoutZenity", ":0", nullptr, kNoZenity, false,
     "[kdialog]\n[--title]\n[ZyvInstall]\n[--msgbox]\n[" + kMessage + "]\n"},
    {"NotificationWithoutADialogProgram", ":0", nullptr, kNotifySendOnly, false,
     "[notify-send]\n[--app-name=ZyvInstall]\n[--]\n[ZyvInstall]\n[" + kMessage + "]\n"},
    {"NoProgramToShowIt", ":0", nullptr, {}, false, ""},
};

class ShowMessageTest : public DialogPrograms, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(ShowMessageTest, TheLineAlwaysAndADialogOnlyFromADesktop) {
  const MessageCase& c = GetParam();
  const auto value = [](const char* v) { return v ? std::optional<std::string>(v) : std::nullopt; };
  const ScopedEnv display("DISPLAY", value(c.display)), wayland("WAYLAND_DISPLAY", value(c.wayland));
  for (const std::string& program : c.programs) Recorder(program);
  std::string line;
  if (c.terminal) {
    Terminal terminal;
    ASSERT_GE(terminal.fd(), 0);
    {
      const ScopedRedirect to_terminal(STDOUT_FILENO, terminal.fd());
      ShowMessage(kMessageText, u"ZyvInstall");
    }
    line = terminal.Shown();
  } else {
    ::testing::internal::CaptureStdout();
    ShowMessage(kMessageText, u"ZyvInstall");
    line = ::testing::internal::GetCapturedStdout();
  }
  std::string expected = kMessage + "\n";
  // A terminal shows each line ending as CR LF.
  if (c.terminal) expected = "安装失败，错误代码：11\r\n文件 /home/a/<b>&x\\y 无法写入\r\n";
  EXPECT_EQ(line, expected);
  // One program at most, and waited for: its record is complete when the call returns.
  EXPECT_EQ(ReadFileBytes(Ran()), c.shown);
}

INSTANTIATE_TEST_SUITE_P(Where, ShowMessageTest, testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace zyv
