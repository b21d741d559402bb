// The desktop entry that stands in for the shell link, and the same entry in the applications menu:
// checked by desktop-file-validate, read back and started by GLib (as GNOME and Xfce read it), for
// install folders with every character that quoting has to survive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/text.h"
#include "shell/shortcut.h"
#include "tests/test_util.h"

namespace zyv {
namespace {

using test::ScopedEnv;
using test::TempDir;
using test::ToPath;
namespace fs = std::filesystem;

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct CommandResult {
  int status = -1;  // the exit status, or -1 when the command did not exit normally
  std::string output;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

const std::string kHelper = ZYV_SOURCE_DIR "/tests/desktop_entry.py";
constexpr int kSkipStatus = 77;

struct AwkwardFolder {
  const char* what;
  const char* name;  // UTF-8
  bool glib_starts_it;
};

void PrintTo(const AwkwardFolder& folder, std::ostream* os) { *os << folder.what; }

// GLib looks the program up before it turns %% back into %, so it refuses an entry whose program
// path holds a %, however correctly written; its reading of the line is still checked.
const AwkwardFolder kFolders[] = {
    {"Spaces", "Program Files (x86)", true},
    {"DoubleQuotes", "say \"hi\"", true},
    {"Dollar", "$HOME and ${PATH}", true},
    {"Backtick", "`id`", true},
    {"Backslashes", "back\\slash\\\\", true},
    {"Percent", "100% %f %%", false},
    {"Cjk", "安装 目录", true},
    {"ShellCharacters", "a=b;c&d|e'f'<g>~#*?", true},
    {"ControlCharacters", "line\nbreak\ttab\rret", true},
};

class DesktopEntryFor : public testing::TestWithParam<AwkwardFolder> {
 protected:
  void SetUp() override {
    base_ = tmp_.W(Utf8ToUtf16(GetParam().name)) + kPathSeparator;
    target_ = ShortcutTarget(base_);
    folder_ = Utf16ToUtf8(base_) + "dudizu";
    fs::create_directories(tmp_.path() / "Desktop");
    fs::create_directories(ToPath(Utf8ToUtf16(folder_)));
    link_ = tmp_.path() / "Desktop" / ToPath(kShortcutFileName);
    ASSERT_TRUE(CreateShellLink(target_, test::ToWString(link_)));
    CreateMenuEntry(base_);
    menu_ = ToPath(base_) / "applications" / ToPath(kShortcutFileName);
  }

  TempDir tmp_;
  WString base_, target_;
  std::string folder_;
  fs::path link_, menu_;
};

TEST_P(DesktopEntryFor, PassesValidation) {
  if (RunCommand("command -v desktop-file-validate >/dev/null").status != 0) {
    GTEST_SKIP() << "desktop-file-validate is not installed";
  }
  for (const fs::path& entry : {link_, menu_}) {
    const CommandResult r = RunCommand("desktop-file-validate " + ShellQuote(entry.string()) + " 2>&1");
    EXPECT_EQ(r.status, 0) << entry;
    EXPECT_EQ(r.output, "") << entry;  // no warnings or hints either
  }
}

TEST_P(DesktopEntryFor, GLibReadsTheExactTargetAndFolder) {
  for (const fs::path& entry : {link_, menu_}) {
    const CommandResult r = RunCommand(ShellQuote(kHelper) + " parse " + ShellQuote(entry.string()));
    if (r.status == kSkipStatus) GTEST_SKIP() << "GLib's Python bindings are not installed";
    ASSERT_EQ(r.status, 0) << entry;
    EXPECT_EQ(r.output, Utf16ToUtf8(target_) + '\0' + folder_ + '\0') << entry;
  }
}

TEST_P(DesktopEntryFor, GLibStartsTheTargetInItsFolder) {
  if (!GetParam().glib_starts_it) GTEST_SKIP() << "GLib cannot start a program whose path holds a %";
  // The program writes how it was named and where it runs.
  const fs::path program = ToPath(target_);
  test::WriteFileBytes(program,
                       "#!/bin/sh\n"
                       "{ printf '%s\\n' \"$0\"; pwd -P; } > \"$ZYV_LAUNCH_OUT.part\"\n"
                       "mv \"$ZYV_LAUNCH_OUT.part\" \"$ZYV_LAUNCH_OUT\"\n");
  fs::permissions(program, fs::perms::owner_all);
  const fs::path out = tmp_.path() / "launched";
  const ScopedEnv out_env("ZYV_LAUNCH_OUT", out.string());

  const CommandResult r = RunCommand(ShellQuote(kHelper) + " launch " + ShellQuote(link_.string()) + " " +
                                     ShellQuote(out.string()));
  if (r.status == kSkipStatus) GTEST_SKIP() << "GLib's Python bindings are not installed";
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(test::ReadFileBytes(out), Utf16ToUtf8(target_) + "\n" + folder_ + "\n");
}

INSTANTIATE_TEST_SUITE_P(Awkward, DesktopEntryFor, testing::ValuesIn(kFolders),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(DesktopEntry, IsAnExecutableLauncherNamedKelvora) {
  TempDir tmp;
  const mode_t old_mask = umask(077);  // a strict umask must not narrow the mode
  const bool saved = CreateShellLink(u"/opt/k/dudizu/ZyvSHelp.exe", tmp.W(kShortcutFileName));
  umask(old_mask);
  ASSERT_TRUE(saved);

  struct stat st {};
  ASSERT_EQ(stat((tmp.path() / "Kelvora.desktop").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(test::ReadFileBytes(tmp.path() / "Kelvora.desktop"),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Kelvora\n"
            "Exec=\"/opt/k/dudizu/ZyvSHelp.exe\"\n"
            "Path=/opt/k/dudizu\n"
            "Terminal=false\n");
}

std::vector<fs::path> Names(const fs::path& folder) {
  std::vector<fs::path> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  return names;
}

TEST(MenuEntry, IsTheShortcutsEntryInTheApplicationsFolderReplacedEachTimeAndTheMenuIsTold) {
  TempDir tmp;
  // A stand-in for update-desktop-database that records what it was asked to refresh.
  fs::create_directories(tmp.path() / "bin");
  const fs::path told = tmp.path() / "told";
  test::WriteFileBytes(tmp.path() / "bin" / "update-desktop-database",
                       "#!/bin/sh\nprintf '[%s]\\n' \"$@\" >> '" + told.string() + "'\n");
  fs::permissions(tmp.path() / "bin" / "update-desktop-database", fs::perms::owner_all);
  const ScopedEnv path("PATH", (tmp.path() / "bin").string());
  fs::create_directories(tmp.path() / "share");
  const WString base = tmp.W(u"share") + kPathSeparator;
  ASSERT_TRUE(CreateShellLink(ShortcutTarget(base), tmp.W(u"reference.desktop")));
  const std::string reference = test::ReadFileBytes(tmp.path() / "reference.desktop");
  const fs::path applications = tmp.path() / "share" / "applications";
  const fs::path entry = applications / "Kelvora.desktop";

  CreateMenuEntry(base);
  struct stat st {};
  ASSERT_EQ(stat(applications.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);  // a data folder the user had not got is made private
  EXPECT_EQ(test::ReadFileBytes(entry), reference);

  // Installed again over an older entry that a user's link has replaced: the link is replaced, never
  // written through.
  test::WriteFileBytes(tmp.path() / "users-file", "the user's own");
  fs::remove(entry);
  fs::create_symlink(tmp.path() / "users-file", entry);
  CreateMenuEntry(base);
  EXPECT_FALSE(fs::is_symlink(entry));
  EXPECT_EQ(test::ReadFileBytes(entry), reference);
  EXPECT_EQ(test::ReadFileBytes(tmp.path() / "users-file"), "the user's own");
  EXPECT_EQ(Names(applications), std::vector<fs::path>{"Kelvora.desktop"});
  EXPECT_EQ(test::ReadFileBytes(told), "[" + applications.string() + "]\n[" + applications.string() + "]\n");
  // Installed again with the entry as it is: nothing is written, and the menu is not told again.
  struct stat before {};
  ASSERT_EQ(stat(entry.c_str(), &before), 0);
  CreateMenuEntry(base);
  struct stat after {};
  ASSERT_EQ(stat(entry.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(test::ReadFileBytes(told), "[" + applications.string() + "]\n[" + applications.string() + "]\n");

  // A file where the folder should be: nothing is written there, and the menu is not told.
  const TempDir other;
  test::WriteFileBytes(other.path() / "applications", "not a folder");
  CreateMenuEntry(other.W() + kPathSeparator);
  EXPECT_EQ(test::ReadFileBytes(other.path() / "applications"), "not a folder");
  EXPECT_EQ(Names(other.path()), std::vector<fs::path>{"applications"});
  EXPECT_EQ(test::ReadFileBytes(told), "[" + applications.string() + "]\n[" + applications.string() + "]\n");
}

/// A home with an install base, and the desktop lookup pointed into it.
class DesktopShortcut : public testing::Test {
 protected:
  void ExpectShortcutIn(const fs::path& desktop) {
    fs::create_directories(desktop);
    const WString found = KnownFolderPath(kCsidlDesktop);
    // Never write to the root of the real file system from a test.
    if (found.empty()) GTEST_SKIP() << "KnownFolderPath found no desktop folder";
    ASSERT_EQ(ToPath(found), desktop);

    CreateDesktopShortcut(tmp_.W(u"share") + kPathSeparator);
    EXPECT_EQ(Names(desktop), std::vector<fs::path>{"Kelvora.desktop"});
    const std::string entry = test::ReadFileBytes(desktop / "Kelvora.desktop");
    // The program where the installation puts it, in the folder it runs in.
    const fs::path folder = tmp_.path() / "share" / "dudizu";
    EXPECT_NE(entry.find("\nExec=\"" + (folder / "ZyvSHelp.exe").string() + "\"\n"), std::string::npos)
        << entry;
    EXPECT_NE(entry.find("\nPath=" + folder.string() + "\n"), std::string::npos) << entry;
  }

  TempDir tmp_;
  ScopedEnv home_{"HOME", (tmp_.path() / "home").string()};
  ScopedEnv config_{"XDG_CONFIG_HOME", (tmp_.path() / "config").string()};
};

TEST_F(DesktopShortcut, GoesToTheDesktopThatUserDirsNames) {
  fs::create_directories(tmp_.path() / "config");
  test::WriteFileBytes(tmp_.path() / "config" / "user-dirs.dirs",
                       "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
  ExpectShortcutIn(tmp_.path() / "home" / "桌面");
}

TEST_F(DesktopShortcut, GoesToHomeDesktopWithoutUserDirs) {
  ExpectShortcutIn(tmp_.path() / "home" / "Desktop");
}

}  // namespace
}  // namespace zyv
