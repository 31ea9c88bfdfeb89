#include "component/method_layer.h"
#include "listing/listing_fixture.h"

namespace corvane::testing {
namespace {

constexpr int32_t kInSync = 0x400000;
constexpr int32_t kNotInSync = 0x800000;

TEST_F(ListingTest, StatusFollowsThePlaceholderState) {
  WriteLocal("plain.txt", "p");
  MakeHydratedPlaceholder("full.txt", "data");
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\cloud.txt", 0, 100, kTime1, kTime2, kTime3, kCreateFileFlags));
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\folder", HALVEX_ATTR_DIRECTORY, 0, kTime1, kTime2, kTime3,
                             kCreateFileFlags));
  int32_t status = -1;
  ASSERT_EQ(0, GetItemStatus(engine(), u"\\plain.txt", &status));
  EXPECT_EQ(kNotInSync, status);
  ASSERT_EQ(0, do_GetFileStatus(engine(), u"\\full.txt", status));
  EXPECT_EQ(kInSync | 0x1, status);
  ASSERT_EQ(0, GetItemStatus(engine(), u"\\cloud.txt", &status));
  EXPECT_EQ(kInSync, status);
  ASSERT_EQ(0, do_GetFolderStatus(engine(), u"\\folder", status));
  EXPECT_EQ(kInSync | 0x1, status);
  EXPECT_EQ(kErrOsCallFailed, GetItemStatus(engine(), u"\\missing.txt", &status));
  EXPECT_EQ(0, status);
}

TEST_F(ListingTest, AttributesAreReadAndWrittenWithTheSyncBits) {
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\a.txt", HALVEX_ATTR_READONLY | HALVEX_ATTR_HIDDEN, 5, kTime1, kTime2,
                             kTime3, kCreateFileFlags));
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\d", HALVEX_ATTR_DIRECTORY, 0, 0, 0, 0, kCreateFileFlags));
  int32_t attributes = 0;
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\a.txt", false, &attributes));
  EXPECT_EQ(HALVEX_ATTR_READONLY | HALVEX_ATTR_HIDDEN | kInSync, attributes);
  EXPECT_EQ(kErrInvalidParameter, GetItemAttributes(engine(), u"\\d", false, &attributes));
  EXPECT_EQ(kErrInvalidParameter, GetItemAttributes(engine(), u"\\a.txt", true, &attributes));
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\d", true, &attributes));
  EXPECT_EQ(kInSync, attributes);  // the folder bit is not reported

  ASSERT_EQ(0, SetItemAttributes(engine(), u"\\a.txt", false, HALVEX_ATTR_HIDDEN | kNotInSync));
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\a.txt", false, &attributes));
  EXPECT_EQ(HALVEX_ATTR_HIDDEN | kNotInSync, attributes);
  EXPECT_FALSE(State("a.txt").in_sync);
  ASSERT_EQ(0, do_SetFileAttributes(engine(), u"\\a.txt", HALVEX_ATTR_SYSTEM | kInSync));
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\a.txt", false, &attributes));
  EXPECT_EQ(HALVEX_ATTR_SYSTEM | kInSync, attributes);
  EXPECT_TRUE(State("a.txt").in_sync);
  EXPECT_EQ(kErrOsCallFailed, SetItemAttributes(engine(), u"\\gone.txt", false, HALVEX_ATTR_HIDDEN));
}

TEST_F(ListingTest, SyncFileDownloadsTheKnownItemAgain) {
  // Known on disk, unknown to the cache.
  WriteLocal("unknown.txt", "u");
  EXPECT_EQ(kErrInternal, do_SyncFile(engine(), u"\\unknown.txt"));

  provider_.content[Native("s.txt")] = "version 1";
  ASSERT_EQ(0, do_CreateFile(engine(), u"\\s.txt", 0, 9, kTime1, kTime2, kTime3));
  EXPECT_EQ("version 1", ReadLocal("s.txt"));
  provider_.content[Native("s.txt")] = "version 2";
  ASSERT_EQ(0, do_SyncFile(engine(), u"/s.txt"));
  const auto synced = State("s.txt");
  EXPECT_TRUE(synced.FullyHydrated());
  EXPECT_TRUE(synced.in_sync);
  EXPECT_EQ(2, provider_.fetches.load());
  EXPECT_EQ("version 2", ReadLocal("s.txt"));
}

TEST_F(ListingTest, PinAndUnpinReachTheItemAndItsChildren) {
  on_list = [&](int64_t task, const std::u16string& folder) {
    if (folder == u"\\") return IntListItem(engine(), task, u"box", true, 0, 0, kTime1, kTime2, kTime3);
    return IntListItem(engine(), task, u"in.txt", false, 0, 3, kTime1, kTime2, kTime3);
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, true));
  ASSERT_EQ(0, do_PinFolder(engine(), u"\\box"));
  EXPECT_EQ(platform::CF_PIN_STATE_PINNED, State("box").pin);
  EXPECT_EQ(platform::CF_PIN_STATE_PINNED, State("box/in.txt").pin);
  int32_t attributes = 0;
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\box\\in.txt", false, &attributes));
  EXPECT_EQ(HALVEX_ATTR_PINNED, attributes & HALVEX_ATTR_PINNED);

  ASSERT_EQ(0, do_UnpinFolder(engine(), u"\\box"));
  EXPECT_EQ(platform::CF_PIN_STATE_UNSPECIFIED, State("box").pin);
  EXPECT_EQ(platform::CF_PIN_STATE_UNSPECIFIED, State("box/in.txt").pin);

  // A pin of the client shows in the attributes the host reads.
  ASSERT_EQ(0u, client_.Pin(Native("box/in.txt")));
  ASSERT_EQ(0, GetItemAttributes(engine(), u"\\box\\in.txt", false, &attributes));
  EXPECT_EQ(HALVEX_ATTR_PINNED, attributes & HALVEX_ATTR_PINNED);

  // A plain file has no pin state to set: skipped.
  WriteLocal("plain.txt", "p");
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
