#include <gtest/gtest.h>

#include "platform/local/byte_ranges.h"

namespace corvane::platform::local {
namespace {

using Ranges = std::vector<ByteRanges::Range>;

TEST(ByteRanges, AddMergesTouchingAndOverlappingRanges) {
  ByteRanges r;
  r.Add(10, 20);
  r.Add(30, 40);
  EXPECT_EQ(r.ranges(), (Ranges{{10, 20}, {30, 40}}));
  r.Add(20, 30);  // touches both
  EXPECT_EQ(r.ranges(), (Ranges{{10, 40}}));
  r.Add(0, 5);
  r.Add(50, 60);
  r.Add(3, 55);
  EXPECT_EQ(r.ranges(), (Ranges{{0, 60}}));
  r.Add(7, 7);  // empty changes nothing
  EXPECT_EQ(r.TotalBytes(), 60u);
}

TEST(ByteRanges, RemoveSplitsAndMissingFindsTheGaps) {
  ByteRanges r;
  r.Add(0, 100);
  r.Remove(10, 20);
  r.Remove(50, 200);
  EXPECT_EQ(r.ranges(), (Ranges{{0, 10}, {20, 50}}));
  EXPECT_TRUE(r.Covers(20, 50));
  EXPECT_FALSE(r.Covers(5, 25));
  EXPECT_EQ(r.Missing(0, 60), (Ranges{{10, 20}, {50, 60}}));
  EXPECT_EQ(r.Missing(25, 30), Ranges{});
  EXPECT_EQ(r.Missing(55, 70), (Ranges{{55, 70}}));
  r.Truncate(30);
  EXPECT_EQ(r.ranges(), (Ranges{{0, 10}, {20, 30}}));
}

TEST(ByteRanges, EncodingRoundTripsAndRejectsGarbage) {
  ByteRanges r;
  r.Add(0, 4096);
  r.Add(1ull << 40, (1ull << 40) + 17);
  ByteRanges back;
  ASSERT_TRUE(back.Decode(r.Encode()));
  EXPECT_EQ(back.ranges(), r.ranges());
  EXPECT_TRUE(back.Decode(""));
  EXPECT_TRUE(back.empty());
  EXPECT_FALSE(back.Decode(std::string("\x02", 1)));           // unknown version
  EXPECT_FALSE(back.Decode(r.Encode().substr(0, 10)));         // cut short
}

}  // namespace
}  // namespace corvane::platform::local
