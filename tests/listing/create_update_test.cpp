#include "component/method_layer.h"
#include "engine/enumeration.h"
#include "engine/enumeration_report.h"
#include "engine/item_operations_create_update.h"
#include "listing/listing_fixture.h"
#include "provider/create_update_states.h"

namespace corvane::testing {
namespace {

TEST_F(ListingTest, CreateOnAnExistingPathFailsAndChangesNothing) {
  ASSERT_EQ(0, do_CreateFile(engine(), u"\\new.txt", HALVEX_ATTR_READONLY, 10, kTime1, kTime2, kTime3));
  const auto created = State("new.txt");
  EXPECT_TRUE(created.placeholder && created.in_sync);
  EXPECT_EQ(10u, created.size);
  EXPECT_EQ(kTime3, Find("new.txt").ftLastWriteTime);
  EXPECT_NE(0u, Find("new.txt").dwFileAttributes & platform::FILE_ATTRIBUTE_READONLY);

  EXPECT_EQ(kErrItemExists, do_CreateFile(engine(), u"\\new.txt", 0, 99, kTime2, kTime2, kTime2));
  EXPECT_EQ(10u, State("new.txt").size);
  EXPECT_EQ(kTime3, Find("new.txt").ftLastWriteTime);

  ASSERT_EQ(0, do_CreateFolder(engine(), u"\\dir", 0, kTime1, kTime2, kTime3));
  EXPECT_TRUE(State("dir").is_folder && State("dir").in_sync);
  EXPECT_EQ(kErrItemExists, do_CreateFolder(engine(), u"\\dir", 0, kTime1, kTime2, kTime3));

  // Paths that cannot name an item below the root are refused untouched.
  EXPECT_EQ(kErrInvalidParameter, CreateFileInt(engine(), u"\\dir\\..\\..\\x", 0, 1, 0, 0, 0, kCreateFileFlags));
  EXPECT_EQ(kErrInvalidParameter, CreateFileInt(engine(), u"\\", 0, 1, 0, 0, 0, kCreateFileFlags));
  EXPECT_EQ((std::vector<std::string>{"dir", "new.txt"}), Listed());
}

TEST_F(ListingTest, UpdateOfAHydratedFileDehydratesItUnlessDataIsKept) {
  MakeHydratedPlaceholder("h.txt", "old content");
  ASSERT_TRUE(State("h.txt").FullyHydrated());
  provider_.content[Native("h.txt")] = "new content!";
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\h.txt", 0, 12, 0, 0, kTime3, kUpdateFileFlags));
  const auto updated = State("h.txt");
  EXPECT_FALSE(updated.FullyHydrated());
  EXPECT_TRUE(updated.in_sync);
  EXPECT_EQ(12u, updated.size);
  EXPECT_EQ("new content!", ReadLocal("h.txt"));

  // Rename completion keeps the data that is on disk.
  ASSERT_TRUE(State("h.txt").FullyHydrated());
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\h.txt", 0, 12, 0, 0, kTime3, 0x142));
  EXPECT_TRUE(State("h.txt").FullyHydrated());
  EXPECT_EQ(1, provider_.fetches.load());
}

TEST_F(ListingTest, RetrieveWithMarkSyncedIsRejectedUnlessListed) {
  EXPECT_EQ(kErrInvalidParameter, CreateFileInt(engine(), u"\\r.txt", 0, 4, 0, 0, kTime3,
                                                HALVEX_FLAG_RETRIEVE | HALVEX_FLAG_MARK_SYNCED));
  EXPECT_FALSE(std::filesystem::exists(Native("r.txt")));
  // The failed create leaves no cache entry behind.
  EXPECT_EQ(0u, engine().metadata_cache.Count());

  // Listed with DownloadNewFiles: 0x83 downloads and marks in sync.
  engine().settings.download_new_files.store(true);
  provider_.content[Native("d.txt")] = "downloaded";
  on_list = [&](int64_t task, const std::u16string&) {
    return IntListItem(engine(), task, u"d.txt", false, 0, 10, kTime1, kTime2, kTime3);
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));
  const auto listed = State("d.txt");
  EXPECT_TRUE(listed.FullyHydrated());
  EXPECT_TRUE(listed.in_sync);
  EXPECT_EQ(1, provider_.fetches.load());
  EXPECT_TRUE(Events(HALVEX_EVENT_ERROR).empty());
}

TEST_F(ListingTest, ExcludedPlaceholderIsLeftAloneByListings) {
  WriteFile("ex.txt", "mine");
  bool excluded = false;
  ASSERT_EQ(0, DoSetPlaceholderExcludedState(engine(), u"\\ex.txt", true));
  ASSERT_EQ(0, IsItemExcluded(engine(), u"\\ex.txt", &excluded));
  EXPECT_TRUE(excluded);
  on_list = [&](int64_t task, const std::u16string&) {
    return IntListItem(engine(), task, u"ex.txt", false, 0, 99, kTime1, kTime2, kTime3);
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));
  EXPECT_EQ(4u, State("ex.txt").size);
  EXPECT_EQ("mine", ReadLocal("ex.txt"));

  ASSERT_EQ(0, DoSetPlaceholderExcludedState(engine(), u"\\ex.txt", false));
  ASSERT_EQ(0, IsItemExcluded(engine(), u"\\ex.txt", &excluded));
  EXPECT_FALSE(excluded);
  EXPECT_EQ(0, DoSetPlaceholderExcludedState(engine(), u"\\missing.txt", true));
}

TEST_F(ListingTest, NewLocalFileIsReportedAndMarkedByTheAnswer) {
  WriteFile("mine.txt", "abc");
  // In sync only as the version it was reported as.
  const FileVersion version = ReadFileVersion(engine(), u"\\mine.txt");
  ASSERT_EQ(0, ReportNewLocalFile(engine(), Full("mine.txt"), 0, version.size, kTime1, kTime2,
                                  version.last_write_time, true));
  const auto creates = Events(HALVEX_EVENT_CREATE_FILE);
  ASSERT_EQ(1u, creates.size());
  EXPECT_EQ("\\mine.txt", creates[0].path);
  EXPECT_TRUE(State("mine.txt").placeholder && State("mine.txt").in_sync);
  EXPECT_EQ("abc", ReadLocal("mine.txt"));

  WriteFile("refused.txt", "x");
  item_answer = kErrBackend;
  EXPECT_EQ(kErrBackend, ReportNewLocalFile(engine(), Full("refused.txt"), 0, 1, kTime1, kTime2, kTime3, true));
  bool failed = false;
  ASSERT_TRUE(engine().metadata_cache.GetCreateFailed(u"\\refused.txt", &failed));
  EXPECT_TRUE(failed);
  EXPECT_FALSE(State("refused.txt").in_sync);
  EXPECT_EQ(0u, engine().tasks.Count());

  const std::u16string outside = platform::local::FromNativePath(root_.path() + "-other/x.txt");
  EXPECT_EQ(kErrInvalidParameter, ReportNewLocalFile(engine(), outside, 0, 1, 0, 0, 0, true));
}

}  // namespace
}  // namespace corvane::testing

namespace corvane::testing {
namespace {

TEST_F(ListingTest, PinnedFileStaysPinnedAndLocalThroughAnUpdate) {
  MakeHydratedPlaceholder("p.txt", "old");
  ASSERT_EQ(0u, client_.Pin(Native("p.txt")));
  provider_.content[Native("p.txt")] = "newer";
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\p.txt", HALVEX_ATTR_READONLY, 5, 0, 0, kTime3, kUpdateFileFlags));
  const auto pinned = State("p.txt");
  EXPECT_EQ(platform::CF_PIN_STATE_PINNED, pinned.pin);
  EXPECT_TRUE(pinned.FullyHydrated());
  EXPECT_EQ(1, provider_.fetches.load());
  EXPECT_EQ("newer", ReadLocal("p.txt"));
  EXPECT_NE(0u, Find("p.txt").dwFileAttributes & platform::FILE_ATTRIBUTE_READONLY);

  // The host's unpin wins; a pin and an unpin together change nothing.
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\p.txt", HALVEX_ATTR_UNPINNED, 5, 0, 0, kTime3, 0x142));
  EXPECT_NE(platform::CF_PIN_STATE_PINNED, State("p.txt").pin);
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\p.txt", HALVEX_ATTR_PINNED | HALVEX_ATTR_UNPINNED, 5, 0, 0, kTime3,
                             0x142));
  EXPECT_NE(platform::CF_PIN_STATE_PINNED, State("p.txt").pin);
}

}  // namespace
}  // namespace corvane::testing
