#include <gtest/gtest.h>

#include "support/format.h"

namespace corvane {
namespace {

TEST(Format, IntegerDirectivesReadTheirOwnWidth) {
  EXPECT_EQ(u"-5 4294967291 fffffffb", Format(u"%d %u %x", -5, -5, -5));
  EXPECT_EQ(u"0000002a 0000002A 00FF", Format(u"%08x %08X %04hX", 42, 42u, 0x12300FF));
  EXPECT_EQ(u"18446744073709551615 -9223372036854775808",
            Format(u"%I64u %I64d", static_cast<uint64_t>(-1), INT64_MIN));
  EXPECT_EQ(u"0x21000041", Format(u"0x%x", 0x21000041));
  // Without I64 a 64-bit value is read as 32 bits, as printf would.
  EXPECT_EQ(u"1", Format(u"%u", static_cast<int64_t>(0x100000001LL)));
  EXPECT_EQ(u"-2147483648", Format(u"%d", INT32_MIN));
  EXPECT_EQ(u"-7 8 ffff", Format(u"%I64d %I64u %x", -7LL, sizeof(uint64_t), static_cast<uint16_t>(0xFFFF)));
}

TEST(Format, StringsAndPercent) {
  const std::u16string path = u"\\a\\\u00e9";
  EXPECT_EQ(u"Open callback fired for '\\a\\\u00e9' 100%", Format(u"Open callback fired for '%s' 100%%", path));
  EXPECT_EQ(u"[(null)]", Format(u"[%s]", static_cast<const char16_t*>(nullptr)));
  EXPECT_EQ(u"a b", Format(u"%s %s", std::u16string_view(u"a"), u"b"));
}

TEST(Format, MismatchedOrMissingArgumentsStayVisible) {
  EXPECT_EQ(u"x=%d", Format(u"x=%d"));
  EXPECT_EQ(u"%d then 7", Format(u"%d then %d", u"str", 7));
  EXPECT_EQ(u"%q", Format(u"%q", 1));
  EXPECT_EQ(u"tail %", Format(u"tail %"));
}

TEST(Format, OutputIsCutAt1024Characters) {
  const std::u16string long_text(3000, u'z');
  const std::u16string out = Format(u"<%s>", long_text);
  ASSERT_EQ(kMaxFormattedLength, out.size());
  EXPECT_EQ(u'<', out.front());
  EXPECT_EQ(u'z', out.back());
  EXPECT_EQ(kMaxFormattedLength, Format(u"%08x" + std::u16string(2000, u'.'), 1).size());
}

}  // namespace
}  // namespace corvane
