#include "platform/text.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(Utf8ToUtf16("\x80"), r);                   // lone continuation byte
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), r + r);           // overlong lead is never valid
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), r);           // overlong three-byte form
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), r);           // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), r);       // beyond U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xE5\xAE"), r);               // truncated at the end
  EXPECT_EQ(Utf8ToUtf16("\xE5\xAE" "a"), r + u"a");    // truncated, decoding resumes
  EXPECT_EQ(Utf8ToUtf16("\xFF" "b"), r + u"b");
}

}  // namespace
}  // namespace zyv
