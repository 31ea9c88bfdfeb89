#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/host.h"
#include "core/metadata_cache.h"
#include "diag/capture_sink.h"
#include "diag/result_codes.h"
#include "engine/item_properties.h"
#include "engine/known_items_file.h"
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

// What a stop leaves for the next process comes back whole, once, or not
// at all: a damaged list must never turn into deletes.
TEST_F(MetadataCacheTest, KnownItemsComeBackWholeOnceOrNotAtAll) {
  test_common::TempSpace space;
  Add(u"\\docs", kItemAttributeFolder);
  Add(u"\\docs\\r\u00e9sum\u00e9.txt", 0x1);
  Add(u"\\refused.txt", 0);
  cache.SetCreateFailed(u"\\refused.txt", true);
  std::vector<KnownItem> known = cache.KnownItems();
  ASSERT_EQ(2u, known.size());  // a refused create is nothing the host has
  const auto by_path = [](const KnownItem& a, const KnownItem& b) { return a.path < b.path; };
  std::sort(known.begin(), known.end(), by_path);
  const std::u16string root = u"\\home\\ann\\Cloud";
  ASSERT_TRUE(SaveKnownItems(root, known));
  std::vector<KnownItem> back;
  ASSERT_TRUE(LoadKnownItems(u"\\HOME\\ann\\Cloud\\", back));  // the root as the platform compares it
  std::sort(back.begin(), back.end(), by_path);
  ASSERT_EQ(2u, back.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_TRUE(back[i].path == known[i].path);
    EXPECT_EQ(known[i].attributes, back[i].attributes);
  }
  EXPECT_FALSE(LoadKnownItems(root, back));  // good for one start
  EXPECT_TRUE(back.empty());

  ASSERT_TRUE(SaveKnownItems(root, known));
  const auto file = std::filesystem::directory_iterator(space.state() + "/provider")->path();
  std::string bytes;
  std::ifstream in(file, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  const auto damaged = [&](std::string content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    std::vector<KnownItem> items;
    return !LoadKnownItems(root, items) && items.empty();
  };
  EXPECT_TRUE(damaged(bytes.substr(0, bytes.size() - 1)));
  EXPECT_TRUE(damaged(bytes + "x"));
  EXPECT_TRUE(damaged("CVKNOWN2" + bytes.substr(8)));
  std::string climbing = bytes;
  const size_t dot = climbing.find(std::string("d\0o\0c\0s\0", 8));
  ASSERT_NE(std::string::npos, dot);
  climbing.replace(dot, 8, std::string(".\0.\0\\\0s\0", 8));  // "\docs" becomes "\..\s"
  EXPECT_TRUE(damaged(climbing));
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
