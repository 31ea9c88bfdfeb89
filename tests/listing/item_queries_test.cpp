#include "component/method_layer.h"
#include "engine/item_operations_create_update.h"
#include "engine/item_queries.h"
#include "listing/listing_fixture.h"
#include "provider/create_update_states.h"

namespace corvane::testing {
namespace {

constexpr int32_t kInSync = 0x400000;
constexpr int32_t kNotInSync = 0x800000;

TEST_F(ListingTest, AttributesCarryTheSyncAndPinBitsButNotTheFolderBit) {
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\a.txt", HALVEX_ATTR_READONLY | HALVEX_ATTR_HIDDEN, 5, kTime1, kTime2,
                             kTime3, kCreateFileFlags));
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\d", HALVEX_ATTR_DIRECTORY, 0, 0, 0, 0, kCreateFileFlags));
  int32_t value = 0;
  ASSERT_EQ(0, do_GetFolderStatus(engine(), u"\\d", value));
  EXPECT_EQ(kInSync | 0x1, value);
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\d", true, &value));
  EXPECT_EQ(kInSync, value);
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\a.txt", false, &value));
  EXPECT_EQ(HALVEX_ATTR_READONLY | HALVEX_ATTR_HIDDEN | kInSync, value);
  ASSERT_EQ(0u, client_.Pin(Native("a.txt")));
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\a.txt", false, &value));
  EXPECT_EQ(HALVEX_ATTR_PINNED, value & HALVEX_ATTR_PINNED);
  // Asked for as the other kind, or gone: refused.
  EXPECT_EQ(kErrInvalidParameter, GetItemAttributes(engine(), u"\\d", false, &value));
  EXPECT_EQ(kErrInvalidParameter, GetItemAttributes(engine(), u"\\a.txt", true, &value));
  EXPECT_EQ(kErrOsCallFailed, SetItemAttributes(engine(), u"\\gone.txt", false, HALVEX_ATTR_HIDDEN));
}

TEST_F(ListingTest, PlainFilesAreNeitherSyncedNorPinned) {
  WriteFile("plain.txt", "p");
  int32_t status = -1;
  ASSERT_EQ(0, GetItemStatus(engine(), u"\\plain.txt", &status));
  EXPECT_EQ(kNotInSync, status);
  // Unknown to the cache: nothing to download it from.
  EXPECT_EQ(kErrInternal, do_SyncFile(engine(), u"\\plain.txt"));
  // No pin state to set: skipped, and the file stays as it is.
  EXPECT_EQ(0, DoSetPlaceholderPinnedState(engine(), u"\\plain.txt", true));
  EXPECT_FALSE(State("plain.txt").placeholder);
}

TEST_F(ListingTest, AttributeBitsConvertBothWays) {
  EXPECT_EQ(platform::FILE_ATTRIBUTE_NORMAL, ToPlatformAttributes(0));
  EXPECT_EQ(platform::FILE_ATTRIBUTE_PINNED | platform::FILE_ATTRIBUTE_READONLY,
            ToPlatformAttributes(HALVEX_ATTR_PINNED | HALVEX_ATTR_UNPINNED | HALVEX_ATTR_READONLY));
  EXPECT_EQ(0, FromPlatformAttributes(platform::FILE_ATTRIBUTE_NORMAL));
  const int32_t all = HALVEX_ATTR_READONLY | HALVEX_ATTR_HIDDEN | HALVEX_ATTR_SYSTEM | HALVEX_ATTR_DIRECTORY;
  EXPECT_EQ(all, FromPlatformAttributes(ToPlatformAttributes(all) | platform::FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(HALVEX_ATTR_UNPINNED, FromPlatformAttributes(ToPlatformAttributes(HALVEX_ATTR_UNPINNED)));
}

}  // namespace
}  // namespace corvane::testing
