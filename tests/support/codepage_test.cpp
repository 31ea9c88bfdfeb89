#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/types.h"

namespace corvane {
namespace {

using platform::GetLastError;

TEST(CodePage, RoundTripsInSeveralCodePages) {
  struct Case {
    uint32_t cp;
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {65001, "caf\xc3\xa9 \xf0\x9f\x98\x80", u"caf\u00e9 \U0001F600"},
      {1252, "caf\xe9 \x80", u"caf\u00e9 \u20ac"},
      {1250, "\x8a", u"\u0160"},
      {1251, "\xc0", u"\u0410"},
      {932, "\x82\xa0", u"\u3042"},
      {936, "\xd6\xd0", u"\u4e2d"},
      {949, "\xb0\xa1", u"\uac00"},
      {950, "\xa4\xa4", u"\u4e2d"},
      {28591, "\xff", u"\u00ff"},
      {20127, "plain", u"plain"},
  };
  for (const Case& c : cases) {
    std::u16string wide;
    ASSERT_TRUE(CodePageToUtf16(c.cp, c.bytes, wide)) << c.cp;
    EXPECT_EQ(c.text, wide) << c.cp;
    std::string narrow;
    ASSERT_TRUE(Utf16ToCodePage(c.cp, c.text, narrow)) << c.cp;
    EXPECT_EQ(c.bytes, narrow) << c.cp;
  }
}

TEST(CodePage, TextThatDoesNotMapFailsWith1113) {
  std::u16string wide;
  std::string narrow;
  auto fails_with = [](bool ok, uint32_t error) { return !ok && GetLastError() == error; };
  const uint32_t kNoMapping = platform::ERROR_NO_UNICODE_TRANSLATION;
  EXPECT_TRUE(fails_with(CodePageToUtf16(65001, "bad \xc3\x28", wide), kNoMapping));
  EXPECT_TRUE(fails_with(CodePageToUtf16(65001, "\xed\xa0\x80", wide), kNoMapping));  // encoded surrogate
  EXPECT_TRUE(fails_with(CodePageToUtf16(932, "\x82", wide), kNoMapping));  // lead byte without trail
  EXPECT_TRUE(fails_with(Utf16ToCodePage(1252, u"\u4e2d", narrow), kNoMapping));
  EXPECT_TRUE(fails_with(Utf16ToCodePage(20127, u"\u00e9", narrow), kNoMapping));
  EXPECT_TRUE(fails_with(Utf16ToCodePage(65001, std::u16string(1, u'\xdc00'), narrow), kNoMapping));
  EXPECT_TRUE(fails_with(Utf16ToCodePage(936, std::u16string(1, u'\xd800'), narrow), kNoMapping));
}

TEST(CodePage, UnknownCodePageFailsCleanly) {
  std::u16string wide;
  platform::SetLastError(0);
  EXPECT_FALSE(CodePageToUtf16(12345, "abc", wide));
  EXPECT_EQ(platform::ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(platform::IsCodePageSupported(12345));
  EXPECT_TRUE(platform::IsCodePageSupported(0));
}

TEST(CodePage, PlatformCallsMeasureAndCheckTheBuffer) {
  // -1 counts the terminating NUL, as the Windows calls do.
  EXPECT_EQ(4, platform::MultiByteToWideChar(1252, "abc", -1, nullptr, 0));
  char16_t small[2];
  EXPECT_EQ(0, platform::MultiByteToWideChar(1252, "abc", 3, small, 2));
  EXPECT_EQ(platform::ERROR_INSUFFICIENT_BUFFER, GetLastError());
  char16_t out[4];
  if (platform::AnsiCodePage() == 1252) {  // always so on Linux
    ASSERT_EQ(4, platform::MultiByteToWideChar(0, "\x80xy", -1, out, 4));
    EXPECT_EQ(std::u16string(u"\u20acxy", 3), std::u16string(out, 3));
    EXPECT_EQ(0, out[3]);
  }
  EXPECT_EQ(0, platform::MultiByteToWideChar(1252, "abc", 0, out, 4));
  EXPECT_EQ(platform::ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(3, platform::WideCharToMultiByte(65001, u"\u00e9", -1, nullptr, 0));
}

TEST(CodePage, SystemMessagesEndLikeFormatMessage) {
  // The wording is the system's own (Wine's differs from Windows' a little).
  const std::u16string denied = platform::SystemMessage(5);
  ASSERT_GT(denied.size(), 2u);
  EXPECT_NE(std::u16string::npos, denied.find(u"denied")) << std::string(denied.begin(), denied.end());
  EXPECT_EQ(u"\r\n", denied.substr(denied.size() - 2));
  EXPECT_EQ(u"", platform::SystemMessage(0x12345678));
}

}  // namespace
}  // namespace corvane
