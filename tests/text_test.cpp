#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/path_key.h"
#include "platform/upcase.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zyv {
namespace {

TEST(Utf16ToUtf8, EncodesEveryPlane) {
  EXPECT_EQ(Utf16ToUtf8(u""), "");
  EXPECT_EQ(Utf16ToUtf8(u"dudizu"), "dudizu");
  EXPECT_EQ(Utf16ToUtf8(u"安装完成"), "\xE5\xAE\x89\xE8\xA3\x85\xE5\xAE\x8C\xE6\x88\x90");
  EXPECT_EQ(Utf16ToUtf8(u"\u00E9\U0001F600x"), "\xC3\xA9\xF0\x9F\x98\x80x");
}

TEST(Utf16ToUtf8, UnpairedSurrogatesBecomeReplacement) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD800)}), fffd);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xDC00), u'b'}), "a" + fffd + "b");
  // A high surrogate followed by anything but a low one, and two highs in a row.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'x'}), fffd + "x");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}),
            fffd + "\xF0\x9F\x98\x80");
}

TEST(Utf8ToUtf16, RoundTripsWellFormedText) {
  for (const std::u16string s : {u"", u"C:\\Users\\A\\AppData\\Local\\", u"安装失败，错误代码：16",
                                 u"\U00020000\U0010FFFF\u0080\u07FF\u0800\uFFFF"}) {
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
  }
}

TEST(Utf8ToUtf16, IllFormedInputBecomesReplacement) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(Utf8ToUtf16("\x80"), r);              // lone continuation byte
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), r + r);      // overlong lead is never valid
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), r);      // overlong three-byte form
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), r);      // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), r);  // beyond U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xE5\xAE"), r);          // truncated at the end
  EXPECT_EQ(Utf8ToUtf16("\xE5\xAE"
                        "a"),
            r + u"a");  // truncated, decoding resumes
  EXPECT_EQ(Utf8ToUtf16("\xFF"
                        "b"),
            r + u"b");
}

TEST(UpcaseNtfs, FoldsAsNtfsDoesInsideTheBasicPlaneOnly) {
  // ASCII; Latin-1 (ÿ far away, µ kept: its upper case is Greek Mu's); pairs a code point apart,
  // title case kept, Greek with iota below; Cyrillic, Greek (final sigma kept), Armenian,
  // full-width; what has no one-unit upper case or another letter's (ß, ı, ŉ), upper case already;
  // a surrogate pair, unit by unit.
  EXPECT_EQ(UpcaseNtfs(u"abz{AZ@09"), u"ABZ{AZ@09");
  EXPECT_EQ(UpcaseNtfs(u"\u00e4\u00f6\u00fe\u00b5\u00ff\u00f7\u00d7"),
            u"\u00c4\u00d6\u00de\u00b5\u0178\u00f7\u00d7");
  EXPECT_EQ(UpcaseNtfs(u"\u0101\u0100\u017e\u01c6\u01c5\u1f80"), u"\u0100\u0100\u017d\u01c4\u01c5\u1f88");
  EXPECT_EQ(UpcaseNtfs(u"\u0430\u044f\u0451\u03c9\u03c2\u0561\uff41\uff5a"),
            u"\u0410\u042f\u0401\u03a9\u03c2\u0531\uff21\uff3a");
  EXPECT_EQ(UpcaseNtfs(u"\u00df\u0131\u0149\u1e9e\u0410"), u"\u00df\u0131\u0149\u1e9e\u0410");
  EXPECT_EQ(UpcaseNtfs(std::u16string{char16_t(0xD801), char16_t(0xDC28)}),
            (std::u16string{char16_t(0xD801), char16_t(0xDC28)}));
  EXPECT_EQ(UpcaseNtfs(u""), u"");
}

TEST(PathKey, OnePathPerStyle) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool windows;  // one path under Windows' rule
    bool posix;    // one path under POSIX's
  };
  const Case cases[] = {
      {u"dudizu/Readme.txt", u"DUDIZU/README.TXT", true, false},
      {u"dudizu/\u00c4.txt", u"dudizu/\u00e4.txt", true, false},  // folded beyond ASCII
      {u"dudizu/docs/a", u"dudizu\\Docs\\a", true, false},        // either separator
      {u"dudizu/docs/", u"dudizu/docs", true, true},
      {u"dudizu/a", u"dudizu/a", true, true},
      {u"dudizu/\u00df", u"dudizu/SS", false, false},  // no one-unit upper case
      {u"a\\b", u"a/b", true, false},                  // a backslash is a name's own on POSIX
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SamePath(c.a, c.b, PathStyle::kWindows), c.windows)
        << Utf16ToUtf8(c.a) << " " << Utf16ToUtf8(c.b);
    EXPECT_EQ(SamePath(c.a, c.b, PathStyle::kPosix), c.posix) << Utf16ToUtf8(c.a) << " " << Utf16ToUtf8(c.b);
  }
}

TEST(PathKey, StartsWithWholeNames) {
  EXPECT_TRUE(PathStartsWith(u"dudizu/a/b", u"dudizu/a", PathStyle::kPosix));
  EXPECT_TRUE(PathStartsWith(u"dudizu/a", u"dudizu/a", PathStyle::kPosix));
  EXPECT_FALSE(PathStartsWith(u"dudizu/ab", u"dudizu/a", PathStyle::kPosix));
  EXPECT_FALSE(PathStartsWith(u"dudizu", u"dudizu/a", PathStyle::kPosix));
  EXPECT_FALSE(PathStartsWith(u"Dudizu/a", u"dudizu", PathStyle::kPosix));
  EXPECT_TRUE(PathStartsWith(u"Dudizu\\a", u"dudizu", PathStyle::kWindows));
  EXPECT_TRUE(PathStartsWith(u"anything", u"", PathStyle::kWindows));
  EXPECT_EQ(LastName(u"a\\b/c", PathStyle::kWindows), u"c");
  EXPECT_EQ(LastName(u"a/b\\c", PathStyle::kPosix), u"b\\c");
  EXPECT_EQ(LastName(u"name", PathStyle::kPosix), u"name");
}

TEST(ExtendedLengthPath, AbsoluteNormalisedAndPrefixedOnce) {
  const std::u16string cwd = u"C:\\Users\\kel\\Downloads";
  const struct {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"C:\\Users\\kel\\AppData\\Local\\dudizu", u"\\\\?\\C:\\Users\\kel\\AppData\\Local\\dudizu"},
      {u"c:/x//y/./z/../w\\", u"\\\\?\\c:\\x\\y\\w"},
      {u"C:\\", u"\\\\?\\C:\\"},
      {u"C:\\..\\..", u"\\\\?\\C:\\"},  // not above the root
      {u"\\\\server\\share\\dir\\f.txt", u"\\\\?\\UNC\\server\\share\\dir\\f.txt"},
      {u"//server/share/a/../b", u"\\\\?\\UNC\\server\\share\\b"},
      {u"\\\\?\\C:\\already\\..\\as is", u"\\\\?\\C:\\already\\..\\as is"},
      {u"\\\\.\\C:", u"\\\\.\\C:"},
      {u"Setup.exe", u"\\\\?\\C:\\Users\\kel\\Downloads\\Setup.exe"},
      {u"..\\Desktop", u"\\\\?\\C:\\Users\\kel\\Desktop"},
      {u"\\Windows", u"\\\\?\\C:\\Windows"},                             // the current drive's root
      {u"c:notes.txt", u"\\\\?\\C:\\Users\\kel\\Downloads\\notes.txt"},  // the drive's current folder
      {u"D:notes.txt", u"\\\\?\\D:\\notes.txt"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtendedLengthPath(c.in, cwd), c.out) << Utf16ToUtf8(c.in);
  EXPECT_EQ(ExtendedLengthPath(u"\\x", u"\\\\server\\share\\dir"), u"\\\\?\\UNC\\server\\share\\x");
  EXPECT_EQ(ExtendedLengthPath(u"relative", u""), u"relative");  // nothing to take it from
  const std::u16string deep = u"C:\\" + std::u16string(300, u'd') + u"\\" + std::u16string(300, u'e');
  EXPECT_EQ(ExtendedLengthPath(deep, cwd), u"\\\\?\\" + deep);
}

#ifdef _WIN32
// The system folds the same way: unit for unit under Wine, which follows Windows' table; Windows
// itself may differ in the few letters a newer Unicode version added.
TEST(UpcaseNtfs, AgreesWithTheSystemOverTheBasicPlane) {
  std::u16string differing;
  for (unsigned c = 0; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    wchar_t system = static_cast<wchar_t>(c);
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &system, 1, &system, 1, nullptr, nullptr, 0);
    if (UpcaseNtfs(static_cast<char16_t>(c)) != static_cast<char16_t>(system))
      differing += static_cast<char16_t>(c);
  }
  EXPECT_LE(differing.size(), test::UnderWine() ? 0u : 8u) << Utf16ToUtf8(differing);
}
#endif

}  // namespace
}  // namespace zyv
