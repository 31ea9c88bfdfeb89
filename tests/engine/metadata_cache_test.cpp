#include <gtest/gtest.h>

#include <string>

#include "core/metadata_cache.h"
#include "diag/capture_sink.h"
#include "diag/result_codes.h"
#include "engine/item_properties.h"
#include "engine/transfer_stream.h"

namespace corvane {
namespace {

class MetadataCacheTest : public ::testing::Test {
 protected:
  void Add(const std::u16string& path, uint32_t attributes) {
    const size_t cut = path.rfind(u'\\');
    cache.AddNewItemToCache(path, path.substr(cut + 1), attributes, 1, 2, 3, 4);
  }

  MetadataCache cache{nullptr};
};

TEST_F(MetadataCacheTest, UpdateKeepsWhatWasNotGivenAndFlagsStick) {
  Add(u"\\u", 0x2);
  EXPECT_TRUE(cache.UpdateProperties(u"\\u", -1, 0, 0, 0, 77));
  CacheItem item;
  ASSERT_TRUE(cache.Lookup(u"\\u", &item, nullptr));
  EXPECT_EQ(0, item.Size);  // size is always taken
  EXPECT_EQ(0x2u, item.Attributes);
  EXPECT_EQ(2u, item.CreationTime);
  EXPECT_EQ(3u, item.LastAccessTime);
  EXPECT_EQ(77u, item.LastWriteTime);
  EXPECT_TRUE(cache.UpdateProperties(u"\\u", 0, 5, -3, 9, 0));
  ASSERT_TRUE(cache.Lookup(u"\\u", &item, nullptr));
  EXPECT_EQ(0u, item.Attributes);
  EXPECT_EQ(2u, item.CreationTime);
  EXPECT_EQ(9u, item.LastAccessTime);
  EXPECT_FALSE(cache.UpdateProperties(u"\\none", 0, 0, 0, 0, 0));

  bool flag = true;
  EXPECT_TRUE(cache.SetCreateFailed(u"\\u", true));
  ASSERT_TRUE(cache.GetCreateFailed(u"\\u", &flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(cache.SetLocked(u"\\U", true));
}

TEST(ItemProperties, ChecksRunInOrderWithTheirCodes) {
  EXPECT_EQ(kOk, CheckItemProperties(nullptr, 0x40000000 | 0x2 | 0x4, 0, 0, 0, 0, 0));
  EXPECT_EQ(kErrInvalidItemAttributes, CheckItemProperties(nullptr, 0x1, 0, 0, 0, 0, 0));
  EXPECT_EQ(kErrInvalidItemAttributes, CheckItemProperties(nullptr, 0x10, -1, 0, 0, 0, -1));
  EXPECT_EQ(kErrInvalidItemProperty, CheckItemProperties(nullptr, 0, -1, -1, 0, 0, -1));
  testing::LogLevelGuard guard;
  testing::CaptureSink sink;
  EXPECT_EQ(kErrInvalidItemProperty, CheckItemProperties(&sink, 0, 0, 0, -1, 0, -1));
  ASSERT_FALSE(sink.lines.empty());
  EXPECT_NE(std::u16string::npos, sink.lines.back().second.find(u"Invalid item date value"));
  EXPECT_EQ(kErrInvalidParameter, CheckItemProperties(nullptr, 0, 0, 0, 0, 0, -1));
}

TEST(TransferStream, KeepsUnsentBytesAcrossCompactAndGrowth) {
  TransferStream stream;
  for (int i = 0; i < 5000; ++i) {  // many small writes, many regrowths
    const uint8_t b = static_cast<uint8_t>(i);
    ASSERT_TRUE(stream.Write(&b, 1));
  }
  ASSERT_TRUE(stream.Seek(4990));
  uint8_t out[16] = {};
  EXPECT_EQ(3u, stream.Read(out, 3));
  stream.Compact();  // bytes 4993..4999 stay
  EXPECT_EQ(7u, stream.Size());
  EXPECT_EQ(0u, stream.Position());
  ASSERT_TRUE(stream.Seek(stream.Size()));
  ASSERT_TRUE(stream.Write("ab", 2));
  ASSERT_TRUE(stream.Seek(0));
  EXPECT_EQ(9u, stream.Read(out, sizeof(out)));
  EXPECT_EQ(static_cast<uint8_t>(4993), out[0]);
  EXPECT_EQ('b', out[8]);
  // Seeking past the end extends the stream with zeros.
  ASSERT_TRUE(stream.Seek(100));
  ASSERT_TRUE(stream.Seek(50));
  EXPECT_EQ(8u, stream.Read(out, 8));
  EXPECT_EQ(0, out[0]);
  EXPECT_FALSE(stream.Seek(uint64_t{1} << 50));
}

}  // namespace
}  // namespace corvane
