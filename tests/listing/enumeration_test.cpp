#include "component/method_layer.h"
#include "engine/enumeration.h"
#include "engine/retry_passes.h"
#include "engine/retry_wrappers.h"
#include "listing/listing_fixture.h"

namespace corvane::testing {
namespace {

using Names = std::vector<std::string>;

constexpr int64_t kFuture = 159774624000000000;  // 2107

int32_t ListFile(Engine& e, int64_t task, const std::u16string& name, int64_t size = 0, int32_t attributes = 0) {
  return IntListItem(e, task, name, false, attributes, size, kTime1, kTime2, kTime3);
}

TEST_F(ListingTest, LargeListingIsProcessedInBatchesOfAThousand) {
  // Quiet: 2500 items of verbose lines would dominate the run time.
  SetCurrentLogLevel(kLogMilestone);
  std::vector<size_t> on_disk_after;  // items on disk after the 1000th, 2000th and 2500th report
  on_list = [&](int64_t task, const std::u16string&) {
    for (int i = 0; i < 2500; ++i) {
      EXPECT_EQ(0, ListFile(engine(), task, u"f" + Utf8ToUtf16Lossy(std::to_string(i)), i));
      if (i == 999 || i == 1000 || i == 1999 || i == 2499) on_disk_after.push_back(Listed().size());
    }
    return 0;
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));
  EXPECT_EQ((std::vector<size_t>{1000, 1000, 2000, 2000}), on_disk_after);
  EXPECT_EQ(2500u, Listed().size());
  EXPECT_EQ(2500u, engine().metadata_cache.Count());
  EXPECT_EQ(2499u, State("f2499").size);
  EXPECT_TRUE(State("f1234").in_sync);
}

// New files are made in batches and cached from the values asked for: the
// cache must hold what reading each item back shows, which is not always
// what was asked (a dot name shows hidden here, a time of 0 is the
// platform's own), or the watcher reports the difference as a local change.
TEST_F(ListingTest, CacheHoldsWhatEachListedItemShows) {
  SetCurrentLogLevel(kLogMilestone);
  WriteFile("local.txt", "mine");  // on disk, unknown to the cache
  // Known, and removed by the user before the host listed the folder again:
  // the removal is still to reach the host as a delete.
  engine().metadata_cache.AddNewItemToCache(u"\\removed.txt", u"removed.txt", 0, 7, kTime1, kTime2, kTime3);
  // Known and not on disk only because another listing of the folder took
  // it in and has not made it yet: made here too.
  engine().metadata_cache.AddNewItemToCache(u"\\twice.txt", u"twice.txt", 0, 7, kTime1, kTime2, kTime3);
  engine().items_being_listed.Add(u"\\twice.txt");
  // Known, removed by the user, and its delete taken by the host while the
  // host was making the listing: the listing's older view must not bring
  // it back.
  engine().metadata_cache.AddNewItemToCache(u"\\deleted.txt", u"deleted.txt", 0, 7, kTime1, kTime2, kTime3);
  // The host's placeholder, deleted by the user while the listing is being
  // taken in (after the check above): the delete is the watcher's to tell.
  ASSERT_EQ(0, do_CreateFile(engine(), u"\\deleted-later.txt", 0, 7, kTime1, kTime2, kTime3));
  const std::vector<std::pair<std::u16string, int32_t>> special = {
      {u"ro.txt", HALVEX_ATTR_READONLY},
      {u".profile", 0},
      {u"hs.txt", HALVEX_ATTR_HIDDEN | HALVEX_ATTR_SYSTEM},
      {u"unpinned.txt", HALVEX_ATTR_UNPINNED},
      {u".dot-ro", HALVEX_ATTR_READONLY},
      {u"pinned.txt", HALVEX_ATTR_PINNED},
      {u"local.txt", 0},
      {u"folder", HALVEX_ATTR_DIRECTORY}};
  std::vector<std::string> names;
  on_list = [&](int64_t task, const std::u16string&) {
    for (const auto& [name, attributes] : special) {
      EXPECT_EQ(0, IntListItem(engine(), task, name, (attributes & HALVEX_ATTR_DIRECTORY) != 0, attributes, 7,
                               kTime1, kTime2, kTime3));
    }
    EXPECT_EQ(0, IntListItem(engine(), task, u"no-times.txt", false, 0, 9, 0, 0, 0));
    EXPECT_EQ(0, ListFile(engine(), task, u"removed.txt", 7));
    EXPECT_EQ(0, ListFile(engine(), task, u"twice.txt", 7));
    EXPECT_EQ(0, ListFile(engine(), task, u"deleted.txt", 7));
    EXPECT_EQ(0, ListFile(engine(), task, u"deleted-later.txt", 7));
    EXPECT_EQ(0, ReportDelete(engine(), u"\\deleted.txt", nullptr, DeleteOf::kCachedItem));
    for (int i = 0; i < 300; ++i) EXPECT_EQ(0, ListFile(engine(), task, u"n" + Utf8ToUtf16Lossy(std::to_string(i)), i));
    // The host makes one of them anew through its method before it hands
    // the listing over: the listing's older view of it must not undo that.
    EXPECT_EQ(0, do_CreateFile(engine(), u"\\n1", 0, 42, kTime1, kTime2, kTime3));
    return 0;
  };
  // And another while the listing is being taken in, after its items were
  // checked against the host's changes.
  ASSERT_EQ(0, host_.Config("LogLevel=4"));
  host_.on_log = [this, made = false, removed = false](const std::string& line) mutable {
    if (!removed && line.find("Adding new entry to meta cache. Path: '\\deleted-later.txt'") != std::string::npos) {
      removed = true;
      std::filesystem::remove(Native("deleted-later.txt"));
    }
    if (made || line.find("Adding new entry to meta cache. Path: '\\n2'") == std::string::npos) return;
    made = true;
    EXPECT_EQ(0, do_CreateFile(engine(), u"\\n2", 0, 43, kTime1, kTime2, kTime3));
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 0, false));
  host_.on_log = nullptr;
  EXPECT_EQ(42u, Find("n1").nFileSizeLow);
  EXPECT_EQ(43u, Find("n2").nFileSizeLow);
  CacheItem n2;
  ASSERT_TRUE(engine().metadata_cache.Lookup(u"\\n2", &n2, nullptr));
  EXPECT_EQ(43, n2.Size);
  EXPECT_TRUE(Events(HALVEX_EVENT_ERROR).empty());
  const std::vector<std::string> on_disk = Listed();
  engine().items_being_listed.Remove(u"\\twice.txt");
  ASSERT_EQ(special.size() + 2 + 300, on_disk.size());
  ASSERT_EQ(on_disk.size() + 2, engine().metadata_cache.Count());
  EXPECT_FALSE(std::filesystem::exists(Native("removed.txt")));
  EXPECT_FALSE(std::filesystem::exists(Native("deleted-later.txt")));
  EXPECT_FALSE(std::filesystem::exists(Native("deleted.txt")));
  EXPECT_EQ(1u, Events(HALVEX_EVENT_DELETE_FILE).size());
  EXPECT_TRUE(std::filesystem::exists(Native("twice.txt")));
  for (const std::string& name : on_disk) {
    const platform::WIN32_FIND_DATAW shown = Find(name);
    CacheItem cached;
    ASSERT_TRUE(engine().metadata_cache.Lookup(u"\\" + Utf8ToUtf16Lossy(name), &cached, nullptr)) << name;
    if (name == "local.txt") {
      // The user's file under a listed name is not the host's item: left
      // as it is, out of sync, with the host's values in the cache, so
      // that the watcher offers it to the host as changed.
      EXPECT_EQ(7, cached.Size);
      EXPECT_FALSE(State(name).placeholder || State(name).in_sync);
      continue;
    }
    EXPECT_EQ(static_cast<uint32_t>(FromPlatformAttributes(shown.dwFileAttributes)), cached.Attributes) << name;
    EXPECT_EQ(shown.ftCreationTime, static_cast<int64_t>(cached.CreationTime)) << name;
    EXPECT_EQ(shown.ftLastAccessTime, static_cast<int64_t>(cached.LastAccessTime)) << name;
    EXPECT_EQ(shown.ftLastWriteTime, static_cast<int64_t>(cached.LastWriteTime)) << name;
    EXPECT_EQ(shown.nFileSizeLow, cached.Size) << name;
    EXPECT_FALSE(cached.Locked) << name;
    EXPECT_TRUE(State(name).in_sync) << name;
  }
  EXPECT_EQ("mine", ReadLocal("local.txt"));
}

TEST_F(ListingTest, InvalidNamesAreSkippedWithAnErrorEventAndTheRestCreated) {
  const std::vector<std::u16string> bad = {u"bad:name", u".", u"..", u"ctl\x01name", u"del\x7f", u"a<b", u"...",
                                           u"x\\y"};
  on_list = [&](int64_t task, const std::u16string&) {
    for (const auto& name : bad) EXPECT_EQ(0, ListFile(engine(), task, name, 1));
    EXPECT_EQ(0, ListFile(engine(), task, u"good.txt", 1));
    // A property check failure is skipped the same way.
    EXPECT_EQ(0, IntListItem(engine(), task, u"negative.txt", false, 0, -5, 0, 0, 0));
    return 0;
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));

  EXPECT_EQ((Names{"good.txt"}), Listed());
  const auto errors = Events(HALVEX_EVENT_ERROR);
  ASSERT_EQ(bad.size() + 1, errors.size());
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_EQ(kErrInvalidItemName, errors[i].code) << i;
  EXPECT_EQ("Invalid item name", errors[0].text);
  EXPECT_EQ(kErrInvalidItemProperty, errors.back().code);
  EXPECT_EQ(1u, engine().metadata_cache.Count());
  // Nothing appeared beside the root or below a folder the name implied.
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "/../y"));
  EXPECT_FALSE(std::filesystem::exists(Native("x")));
}

TEST_F(ListingTest, ReportsForWrongHandlesAndFailedListingsAreRefused) {
  EXPECT_EQ(kErrInvalidOpId, ListFile(engine(), -1, u"a"));
  EXPECT_EQ(kErrInvalidOpId, ListFile(engine(), 4242, u"a"));
  Task* read = engine().tasks.CreateTask(u"\\x", OP_READ_DATA, nullptr);
  const int64_t read_id = engine().tasks.RegisterTask(read);
  EXPECT_EQ(kErrInvalidOpId, ListFile(engine(), read_id, u"a"));
  EXPECT_EQ(kErrInternal, ProcessListing(engine(), read_id, true));
  engine().tasks.RemoveTask(read, read_id, false);

  on_list = [&](int64_t task, const std::u16string&) {
    EXPECT_EQ(0, ListFile(engine(), task, u"never.txt"));
    return kErrBackend;
  };
  EXPECT_EQ(kErrBackend, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(0u, engine().tasks.Count());

  // A listing for a folder that is gone: each item fails on its own, is
  // reported, and leaves no cache entry behind.
  Task* gone = engine().tasks.CreateTask(u"\\gone", OP_LIST, nullptr);
  gone->Listing = std::make_unique<Listing>();
  const int64_t gone_id = engine().tasks.RegisterTask(gone);
  EXPECT_EQ(0, ListFile(engine(), gone_id, u"lost.txt"));
  EXPECT_EQ(0, ProcessListing(engine(), gone_id, true));
  ASSERT_EQ(1u, Events(HALVEX_EVENT_ERROR).size());
  EXPECT_EQ(kErrOsCallFailed, Events(HALVEX_EVENT_ERROR)[0].code);
  EXPECT_EQ(0u, engine().metadata_cache.Count());
  EXPECT_EQ(0u, engine().tasks.Count());

  // A stopped activation ends the listing and creates nothing more.
  on_list = [&](int64_t task, const std::u16string&) {
    EXPECT_EQ(0, ListFile(engine(), task, u"one.txt"));
    engine().state.stop_activating.store(1);
    EXPECT_EQ(kErrCancelled, ListFile(engine(), task, u"two.txt"));
    return 0;
  };
  EXPECT_EQ(kErrCancelled, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, true));
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(0u, engine().tasks.Count());
}

TEST_F(ListingTest, NewerLocalCopyIsSentToTheHostInsteadOfOverwritten) {
  MakeHydratedPlaceholder("doc.txt", "local edit");
  MakeHydratedPlaceholder("old.txt", "old");
  on_list = [&](int64_t task, const std::u16string&) {
    // Both remote versions are older than the files just written, except
    // old.txt, whose remote version is from the far future.
    EXPECT_EQ(0, ListFile(engine(), task, u"doc.txt", 3));
    EXPECT_EQ(0, IntListItem(engine(), task, u"old.txt", false, 0, 3, kTime1, kTime2, kFuture));
    return 0;
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));

  EXPECT_EQ("local edit", ReadLocal("doc.txt"));
  EXPECT_TRUE(State("doc.txt").in_sync);  // the host took the local version
  const auto updates = Events(HALVEX_EVENT_UPDATE_FILE);
  ASSERT_EQ(1u, updates.size());
  EXPECT_EQ("\\doc.txt", updates[0].path);
  EXPECT_EQ(0x40, updates[0].flags & 0x40);
  EXPECT_EQ(kFuture, Find("old.txt").ftLastWriteTime);
  EXPECT_EQ(0u, engine().tasks.Count());

  // Written again while the host takes the copy, in its handler or before
  // it finishes late: that write is the host's to hear of, not in sync.
  MakeHydratedPlaceholder("busy.txt", "edit");
  MakeHydratedPlaceholder("late.txt", "edit");
  const auto answer = host_.answer;
  host_.answer = [&](test_common::Event& e, intptr_t* p, int32_t* n) -> int32_t {
    if (e.id != HALVEX_EVENT_UPDATE_FILE) return answer(e, p, n);
    if (e.path == "\\busy.txt") WriteFile("busy.txt", "edited again while the host read it");
    p[e.count - 1] = e.path == "\\late.txt" ? kErrPending : kOk;
    return 0;
  };
  on_list = [&](int64_t task, const std::u16string&) {
    EXPECT_EQ(0, ListFile(engine(), task, u"busy.txt", 3));
    EXPECT_EQ(0, ListFile(engine(), task, u"late.txt", 3));
    return 0;
  };
  ASSERT_EQ(0, ProcessDirectory(engine(), u"\\", u"*", 0, 1000, false));
  EXPECT_FALSE(State("busy.txt").in_sync);
  ASSERT_EQ(3u, Events(HALVEX_EVENT_UPDATE_FILE).size());
  const int64_t late = Events(HALVEX_EVENT_UPDATE_FILE)[2].task_id;
  WriteFile("late.txt", "edited again before the host finished");
  ASSERT_EQ(kOk, do_FinalizeTask(engine(), late, kOk));
  RunMonitorPass(engine(), 0, 100);
  EXPECT_EQ(0u, engine().tasks.Count());
  EXPECT_FALSE(State("late.txt").in_sync);
  EXPECT_EQ("edited again before the host finished", ReadLocal("late.txt"));
}

}  // namespace
}  // namespace corvane::testing
