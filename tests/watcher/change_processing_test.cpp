#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <set>

#include "engine/item_operations_create_update.h"
#include "engine/item_queries.h"
#include "watcher/change_processing.h"
#include "watcher/rescan.h"
#include "watcher/watcher_fixture.h"

namespace corvane::testing {
namespace {

class ChangeProcessingTest : public WatcherTest {
 protected:
  void SetUp() override {
    RegisterRoot();
    ASSERT_TRUE(StartWatcher());
  }

  // A fully present placeholder the engine already knows, changes settled.
  void KnownPlaceholder(const std::string& name, const std::string& content) {
    // A file the engine saw empty would be a placeholder without its
    // later-written data, which is another case.
    MoveInFile(name, content);
    std::u16string rel = u"\\";
    for (char c : name) rel.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    // The watcher makes it a placeholder and reports it; converting it here
    // as well would race that, and a conversion after the host's answer
    // takes the file out of sync again.
    Settle();
    const std::u16string full = Full(rel);
    ASSERT_TRUE(WaitUntil([&] {
      return (engine().placeholder_manager->GetPlaceholderState(full.c_str()) & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0;
    })) << name << " never came into sync: " << Seen();
    Know(rel);
    ClearEvents();
  }
};

TEST_F(ChangeProcessingTest, NewFileIsReportedOnceAndItsWriteIsAnUpdateWithTheRightFlags) {
  WriteFile("new.txt", "hello");
  Settle();
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE));
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE, "\\new.txt"));

  KnownPlaceholder("doc.txt", "version 1");
  // Written in place, so the local platform keeps it fully present.
  const int fd = open(Native("doc.txt").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(9, pwrite(fd, "version 2", 9, 0));
  close(fd);
  Settle();
  // One write, however many records and batches: one update.
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_UPDATE_FILE)) << Seen();
  const SeenEvent update = Events(HALVEX_EVENT_UPDATE_FILE)[0];
  EXPECT_EQ("\\doc.txt", update.path);
  EXPECT_EQ(0x04, update.flags & 0x04);
  EXPECT_EQ(0x40, update.flags & 0x40);  // fully present placeholder whose content changed
  EXPECT_EQ(0, update.flags & 0x20);
  CacheItem cached;
  ASSERT_TRUE(engine().metadata_cache.Lookup(u"\\doc.txt", &cached, nullptr));
  struct stat now;
  ASSERT_EQ(0, stat(Native("doc.txt").c_str(), &now));
  EXPECT_EQ(platform::FileTimeFromUnix(now.st_mtim.tv_sec, now.st_mtim.tv_nsec),
            static_cast<int64_t>(cached.LastWriteTime));

  // Only the hidden attribute: attributes changed, nothing else.
  ClearEvents();
  ASSERT_TRUE(platform::SetFileAttributesW(Full(u"\\doc.txt").c_str(), platform::FILE_ATTRIBUTE_HIDDEN));
  Settle();
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_UPDATE_FILE)) << Seen();
  EXPECT_EQ(0x20, Events(HALVEX_EVENT_UPDATE_FILE)[0].flags & ~0x08);
  EXPECT_EQ(0x4, Events(HALVEX_EVENT_UPDATE_FILE)[0].attributes);
}

// Renames of known items, inside and across folders, are covered end to end.
TEST_F(ChangeProcessingTest, DeletesAndRenamesFollowWhatTheEngineKnows) {
  KnownPlaceholder("gone.txt", "x");
  // The removal is alone in its batch: the saved-remove task reports it.
  ASSERT_EQ(0, unlink(Native("gone.txt").c_str()));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_DELETE_FILE) == 1; }, 15000));
  EXPECT_EQ("\\gone.txt", Events(HALVEX_EVENT_DELETE_FILE)[0].path);
  // The entry goes once the host's answer is taken, just after the event.
  EXPECT_TRUE(WaitUntil([&] { return engine().metadata_cache.NoItemInCache(u"\\gone.txt"); }));

  // Unknown to the engine: a delete reaches nobody; a renamed placeholder
  // still in sync is the item its identity names, moved.
  WriteFile("stranger.txt", "s");
  WriteFile("loose.txt", "l");
  // The engine's own work on them (conversion, in-sync mark) makes records
  // behind the first marker's; the second marker comes after those.
  Settle();
  Settle();
  engine().metadata_cache.Remove(u"\\stranger.txt", false);
  engine().metadata_cache.Remove(u"\\loose.txt", false);
  ClearEvents();
  ASSERT_EQ(0, unlink(Native("stranger.txt").c_str()));
  ASSERT_EQ(0, rename(Native("loose.txt").c_str(), Native("found.txt").c_str()));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_RENAME_FILE) == 1; }, 15000));
  Settle();
  EXPECT_EQ("\\loose.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].path);
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_CREATE_FILE));
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_DELETE_FILE));
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_DELETE_FOLDER));
}

// After the host refused a new file, late records of that same create are
// skipped, however many come (each reported anew would fail again, without
// end), but a change made since is offered to the host again at once, even
// when it is a single record.
TEST_F(ChangeProcessingTest, AfterARefusedCreateOnlyTheCreatesOwnRecordsAreSkipped) {
  const std::u16string rel = u"\\refused.txt";
  MoveInFile("refused.txt", "data");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_CREATE_FILE, "\\refused.txt") == 1; }, 30000)) << Seen();
  Settle();
  const auto refused = [&] {
    Know(rel);
    ASSERT_TRUE(engine().metadata_cache.SetCreateFailed(rel, true));
    ClearEvents();
  };
  refused();
  struct stat now;
  ASSERT_EQ(0, stat(Native("refused.txt").c_str(), &now));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, chmod(Native("refused.txt").c_str(), now.st_mode & 07777));
    Settle();
  }
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_CREATE_FILE, "\\refused.txt")) << Seen();

  refused();
  const timespec times[2] = {{0, UTIME_OMIT}, {1800000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, Native("refused.txt").c_str(), times, 0));
  Settle();
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE, "\\refused.txt")) << Seen();
}

// The engine's own placeholder work, with values the host left out or that
// the platform shows otherwise, then a late record of the same work: the
// cache entry holds what the item shows, so nothing reaches the host.
TEST_F(ChangeProcessingTest, OwnPlaceholderWorkIsNotReportedByItsLateRecords) {
  KnownPlaceholder("ro.txt", "data");
  ASSERT_EQ(0, chmod(Native("ro.txt").c_str(), 0444));
  Settle();
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_UPDATE_FILE, "\\ro.txt"));
  ClearEvents();

  // Attributes 0 clear read-only; no creation time given; a new size.
  const int64_t written = platform::FileTimeFromUnix(1800000000, 0);
  ASSERT_EQ(0, UpdateFileInt(engine(), u"\\ro.txt", 0, 6, 0, written, written, 0x142));
  // Created with no times at all: the platform gives its own.
  ASSERT_EQ(0, CreateFileInt(engine(), u"\\made.txt", 0, 5, 0, 0, 0, 0x212));
  for (const char* name : {"ro.txt", "made.txt"}) {
    struct stat now;
    ASSERT_EQ(0, stat(Native(name).c_str(), &now));
    ASSERT_EQ(0, chmod(Native(name).c_str(), now.st_mode & 07777));
  }
  Settle();
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_UPDATE_FILE)) << Seen();
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  CacheItem cached;
  ASSERT_TRUE(engine().metadata_cache.Lookup(u"\\ro.txt", &cached, nullptr));
  EXPECT_EQ(0u, cached.Attributes);
  EXPECT_EQ(6, cached.Size);
  EXPECT_EQ(static_cast<uint64_t>(written), cached.LastWriteTime);
}

// Attributes set by the host are two changes on disk (the attributes, then
// the in-sync mark): neither is reported back, the state stays as the host
// set it, and a later change of the user's is still reported.
TEST_F(ChangeProcessingTest, AttributesTheHostSetsAreNotReportedBackAndKeepTheirSyncState) {
  KnownPlaceholder("attrs.txt", "data");
  const std::u16string full = Full(u"\\attrs.txt");
  auto in_sync = [&] {
    return (engine().placeholder_manager->GetPlaceholderState(full.c_str()) & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0;
  };
  ASSERT_EQ(0, SetItemAttributes(engine(), u"\\attrs.txt", false, HALVEX_ATTR_READONLY | 0x800000));
  Settle();
  EXPECT_FALSE(in_sync());
  ASSERT_EQ(0, SetItemAttributes(engine(), u"\\attrs.txt", false, 0x400000));
  // A late record of the same change.
  struct stat now;
  ASSERT_EQ(0, stat(Native("attrs.txt").c_str(), &now));
  ASSERT_EQ(0, chmod(Native("attrs.txt").c_str(), now.st_mode & 07777));
  Settle();
  EXPECT_TRUE(in_sync());
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_UPDATE_FILE)) << Seen();

  ASSERT_EQ(0, chmod(Native("attrs.txt").c_str(), 0444));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_UPDATE_FILE, "\\attrs.txt") >= 1; })) << Seen();
}

TEST_F(ChangeProcessingTest, UnpinningAFullyPresentFileDehydratesItAndFiresReset) {
  KnownPlaceholder("pinme.txt", "content that goes");
  PlaceholderStatesRequest states;
  const std::u16string full = Full(u"\\pinme.txt");
  states.path = full.c_str();
  states.what_to_set = kSetPinState | kSetInSyncState;
  states.in_sync_state = platform::CF_IN_SYNC_STATE_IN_SYNC;
  states.pin_state = platform::CF_PIN_STATE_UNPINNED;
  ASSERT_EQ(platform::S_OK, engine().placeholder_manager->SetPlaceholderStates(&states));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_RESET_FILE) >= 1; }));
  EXPECT_EQ("\\pinme.txt", Events(HALVEX_EVENT_RESET_FILE)[0].path);
  EXPECT_TRUE(engine().placeholder_manager->GetPlaceholderState(full.c_str()) & platform::CF_PLACEHOLDER_STATE_PARTIAL);
}

TEST_F(ChangeProcessingTest, FolderWithFilesIsReportedOnceEvenWhileItsRescanOverlapsTheWorker) {
  // A slow host keeps the worker busy past the folder's first rescan, so the
  // two meet on the same new files.
  create_delay_ms_ = 25;
  MakeDir("copy");
  for (int f = 0; f < 80; ++f) WriteFile("copy/f" + std::to_string(f), "x");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_CREATE_FILE) >= 80; }, 10000));
  Pause(1500);
  const auto created = Events(HALVEX_EVENT_CREATE_FILE);
  std::set<std::string> unique;
  for (const auto& e : created) unique.insert(e.path);
  EXPECT_EQ(80u, unique.size());
  EXPECT_EQ(80u, created.size());
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FOLDER));
  EXPECT_GE(LinesWith(u"Scan directory for missing files: '" + Full(u"\\copy") + u"'"), 1u);
}

TEST_F(ChangeProcessingTest, SymbolicLinksInTheRootAreNeitherReportedNorFollowed) {
  namespace fs = std::filesystem;
  char outside_template[] = "/tmp/corvane-outside-XXXXXX";
  const fs::path outside = mkdtemp(outside_template);
  std::ofstream(outside / "secret.txt") << "not the host's";
  fs::create_directory(outside / "inner");

  fs::create_directory_symlink(outside, Native("to_folder"));
  fs::create_symlink(outside / "secret.txt", Native("to_file"));
  MakeDir("moved_in");
  fs::create_symlink(outside / "secret.txt", outside / "link");
  fs::rename(outside / "link", Native("moved_in/link"));  // arrives as a rename
  WriteFile("plain.txt", "p");
  Settle();
  // A missed-change scan of the whole root finds no link either.
  RescanMissingFiles(engine(), Root());

  std::error_code ignored;
  fs::remove_all(outside, ignored);
  const auto files = Events(HALVEX_EVENT_CREATE_FILE);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ("\\plain.txt", files[0].path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FOLDER));
  EXPECT_EQ("\\moved_in", Events(HALVEX_EVENT_CREATE_FOLDER)[0].path);
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_RENAME_FILE));
  // Not even taken in: no placeholder attempt on a link (which failed and
  // raised Error events), no entry in the cache.
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_ERROR));
  for (const char16_t* link : {u"\\to_folder", u"\\to_file", u"\\moved_in\\link"}) {
    EXPECT_EQ(0u, LinesWith(u"ReportNewLocalFile FullPath('" + Full(link) + u"')"));
    EXPECT_TRUE(engine().metadata_cache.NoItemInCache(link));
  }
}

}  // namespace
}  // namespace corvane::testing
