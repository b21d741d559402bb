// The link file's life on disk, on both systems. Where it goes and what it says is read back by
// shortcut_posix_test.cpp (desktop entry), shell_link_lnkinfo.sh (shell link) and the end-to-end tests.
#include "shell/shortcut.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace zyv {
namespace {

using test::TempDir;
using test::ToPath;
using test::WriteFileBytes;
namespace fs = std::filesystem;

const WString kSep(1, kPathSeparator);

#ifndef _WIN32
TEST(CreateDesktopShortcut, WritesNothingWhenTheDesktopCannotBeFound) {
  // Without HOME there is no desktop folder: the link must not land at the root instead.
  const bool was_there = fs::exists(fs::path("/") / ToPath(kShortcutFileName));
  test::ScopedEnv home("HOME", std::nullopt);
  TempDir tmp;
  CreateDesktopShortcut(tmp.W() + kSep);
  EXPECT_EQ(fs::exists(fs::path("/") / ToPath(kShortcutFileName)), was_there);
}
#endif

std::vector<fs::path> Entries(const fs::path& dir) {
  std::vector<fs::path> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  return names;
}

TEST(CreateShellLink, ReinstallReplacesTheLinkWithoutLeavingOthers) {
  TempDir tmp;
  fs::create_directories(tmp.path() / "Desktop");
  const WString link = tmp.W(u"Desktop") + kSep + kShortcutFileName;
  const WString first = ShortcutTarget(tmp.W(u"one") + kSep);
  const WString second = ShortcutTarget(tmp.W(u"two 安装") + kSep);

  ASSERT_TRUE(CreateShellLink(first, link));
  const std::string first_bytes = test::ReadFileBytes(ToPath(link));
  ASSERT_TRUE(CreateShellLink(second, link));

  EXPECT_EQ(Entries(tmp.path() / "Desktop"), std::vector<fs::path>{ToPath(kShortcutFileName)});
  EXPECT_NE(test::ReadFileBytes(ToPath(link)), first_bytes);
}

TEST(CreateShellLink, WritesTheLinkWhenTheTargetIsMissing) {
  // As after a failed extraction: nothing checks that the program is there.
  TempDir tmp;
  const WString link = tmp.W(kShortcutFileName);
  EXPECT_TRUE(CreateShellLink(ShortcutTarget(tmp.W(u"never installed") + kSep), link));
  EXPECT_GT(fs::file_size(ToPath(link)), 0u);
}

TEST(CreateShellLink, FailsWhereTheLinkCannotBeWritten) {
  TempDir tmp;
  const WString target = ShortcutTarget(tmp.W() + kSep);
  // No such folder.
  EXPECT_FALSE(CreateShellLink(target, tmp.W(u"no desktop") + kSep + kShortcutFileName));
  EXPECT_FALSE(fs::exists(tmp.path() / "no desktop"));
  // A folder already holds the name: it is left alone, and nothing else is left behind.
  fs::create_directories(tmp.path() / "Desktop" / ToPath(kShortcutFileName) / "inside");
  EXPECT_FALSE(CreateShellLink(target, tmp.W(u"Desktop") + kSep + kShortcutFileName));
  EXPECT_TRUE(fs::is_directory(tmp.path() / "Desktop" / ToPath(kShortcutFileName) / "inside"));
  EXPECT_EQ(Entries(tmp.path() / "Desktop"), std::vector<fs::path>{ToPath(kShortcutFileName)});
}

// The desktop folder may be a link (folder redirection, Wine's desktop in the Unix home); a link at
// the shortcut's own name is never written through: Windows refuses it, POSIX replaces it.
TEST(CreateShellLink, FollowsALinkedDesktopButNoLinkAtItsName) {
  TempDir tmp;
  fs::create_directories(tmp.path() / "Redirected");
  WriteFileBytes(tmp.path() / "users-file", "the user's own");
  test::PlantedLinks links;
  if (!links.Plant(tmp.path() / "Redirected", tmp.path() / "Desktop")) GTEST_SKIP() << "no links here";
  const WString target = ShortcutTarget(tmp.W() + kSep), link = tmp.W(u"Desktop") + kSep + kShortcutFileName;
  const fs::path shortcut = tmp.path() / "Redirected" / ToPath(kShortcutFileName);
  EXPECT_TRUE(CreateShellLink(target, link));
  EXPECT_GT(fs::file_size(shortcut), 0u);

  fs::remove(shortcut);
  ASSERT_TRUE(links.Plant(tmp.path() / "users-file", shortcut));
#ifdef _WIN32
  EXPECT_FALSE(CreateShellLink(target, link));
#else
  EXPECT_TRUE(CreateShellLink(target, link));
  EXPECT_FALSE(fs::is_symlink(shortcut));
#endif
  EXPECT_EQ(test::ReadFileBytes(tmp.path() / "users-file"), "the user's own");
}

}  // namespace
}  // namespace zyv
