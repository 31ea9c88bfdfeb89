#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/retry_passes.h"
#include "watcher/change_processing.h"
#include "watcher/item_attributes.h"
#include "watcher/rescan.h"
#include "watcher/watcher_fixture.h"

namespace corvane::testing {
namespace {

class RescanTest : public WatcherTest {
 protected:
  void SetUp() override { RegisterRoot(); }

  void MakePlaceholderWithId(const std::u16string& rel, const std::u16string& id, uint32_t flags = 0) {
    const std::u16string full = Full(rel);
    ConvertRequest convert;
    convert.path = full.c_str();
    convert.file_identity = id.data();
    convert.file_identity_length = static_cast<uint32_t>(id.size() * sizeof(char16_t));
    convert.convert_flags = flags;
    ASSERT_EQ(platform::S_OK, engine().placeholder_manager->ConvertToPlaceholder(&convert));
  }

  static std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
};

TEST_F(RescanTest, OverflowRescanFindsChangesInsideKnownFolders) {
  // Names too long for the watcher's small buffer: their records overflow.
  const std::string known = "sub/" + std::string(50, 'k') + ".txt";
  const std::string added = "sub/" + std::string(50, 'n') + ".txt";
  MakeDir("sub");
  WriteFile(known, "v1");
  MakePlaceholder(u"\\sub\\" + Wide(std::string(50, 'k')) + u".txt");
  WriteFile("same.txt", "same");
  MakePlaceholder(u"\\same.txt");
  Know(u"\\sub");
  Know(u"\\sub\\" + Wide(std::string(50, 'k')) + u".txt");
  Know(u"\\same.txt");

  engine().watcher = MakeOwned<DirectoryWatcher>(engine(), Root(), 160);
  ASSERT_TRUE(engine().watcher->Start());
  MoveInFile(added, "new");  // whole at once: no later write to report as an update
  const int fd = open(Native(known).c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(3, write(fd, " v2", 3));
  close(fd);

  ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_CREATE_FILE) >= 1 && CountOf(HALVEX_EVENT_UPDATE_FILE) >= 1; }));
  Pause(800);
  EXPECT_GE(LinesWith(u"notification buffer overflow"), 1u);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE));
  EXPECT_EQ("\\" + std::string(added).replace(3, 1, "\\"), Events(HALVEX_EVENT_CREATE_FILE)[0].path);
  const auto updates = Events(HALVEX_EVENT_UPDATE_FILE);
  ASSERT_EQ(1u, updates.size()) << Seen();  // the unchanged known file stays quiet
  EXPECT_EQ("\\" + std::string(known).replace(3, 1, "\\"), updates[0].path);
  EXPECT_EQ(0x04, updates[0].flags & 0x04);
}

struct RecordSpec {
  uint32_t action;
  std::u16string name;
  int64_t file_id = 0;
  int64_t parent_id = 0;
  uint32_t attributes = 0;
};

// One buffer of records, as the watcher hands them on.
std::vector<uint8_t> RecordBuffer(const std::vector<RecordSpec>& records) {
  std::vector<uint8_t> buffer;
  size_t previous = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::u16string& name = records[i].name;
    const size_t at = buffer.size();
    const size_t size = (offsetof(ChangeRecord, FileName) + name.size() * 2 + 7) & ~size_t{7};
    buffer.resize(at + size);
    auto* record = reinterpret_cast<ChangeRecord*>(buffer.data() + at);
    record->Action = records[i].action;
    record->FileId = records[i].file_id;
    record->ParentFileId = records[i].parent_id;
    record->FileAttributes = records[i].attributes;
    record->FileNameLength = static_cast<uint32_t>(name.size() * 2);
    std::memcpy(record->FileName, name.data(), name.size() * 2);
    if (i > 0) reinterpret_cast<ChangeRecord*>(buffer.data() + previous)->NextEntryOffset = static_cast<uint32_t>(at - previous);
    previous = at;
  }
  return buffer;
}

TEST_F(RescanTest, RenameSeenByARescanBeforeItsRecordsIsReportedOnceAsARename) {
  WriteFile("old.txt", "o");
  MakePlaceholderWithId(u"\\old.txt", u"\\old.txt");
  Know(u"\\old.txt");
  // A known item that still exists under its identity's path: a copy, new.
  WriteFile("kept.txt", "k");
  MakePlaceholderWithId(u"\\kept.txt", u"\\kept.txt");
  Know(u"\\kept.txt");
  WriteFile("copy.txt", "k");
  MakePlaceholderWithId(u"\\copy.txt", u"\\kept.txt");
  ASSERT_EQ(0, std::rename(Native("old.txt").c_str(), Native("new.txt").c_str()));

  RescanMissingFiles(engine(), Root());
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_RENAME_FILE)) << Seen();
  EXPECT_EQ("\\old.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].path);
  EXPECT_EQ("\\new.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].new_path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  EXPECT_EQ("\\copy.txt", Events(HALVEX_EVENT_CREATE_FILE)[0].path);
  EXPECT_TRUE(engine().metadata_cache.NoItemInCache(u"\\old.txt"));
  EXPECT_FALSE(engine().metadata_cache.NoItemInCache(u"\\new.txt"));

  // The watcher's records of the same rename come after: nothing more.
  DirectoryWatcher watcher(engine(), Root());
  ProcessChangeBatch(watcher, RecordBuffer({{platform::FILE_ACTION_RENAMED_OLD_NAME, u"old.txt"},
                                            {platform::FILE_ACTION_RENAMED_NEW_NAME, u"new.txt"}}));
  RescanMissingFiles(engine(), Root());
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_RENAME_FILE)) << Seen();
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_UPDATE_FILE)) << Seen();

  // An unknown file renamed over the known one: its content is news.
  WriteFile("draft.txt", "a longer draft");
  ASSERT_EQ(0, std::rename(Native("draft.txt").c_str(), Native("new.txt").c_str()));
  ProcessChangeBatch(watcher, RecordBuffer({{platform::FILE_ACTION_RENAMED_OLD_NAME, u"draft.txt"},
                                            {platform::FILE_ACTION_RENAMED_NEW_NAME, u"new.txt"}}));
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_UPDATE_FILE, "\\new.txt")) << Seen();
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  EXPECT_EQ(0u, engine().tasks.Count());

  // Records read while another, empty file stood at the name, handled once
  // an in-sync placeholder with data has been moved there: the file keeps
  // its data (it was cut to the record's size).
  const std::string kept(4112, 'k');
  WriteFile("landed.txt", kept);
  MakePlaceholderWithId(u"\\landed.txt", u"\\elsewhere.txt", platform::CF_CONVERT_FLAG_MARK_IN_SYNC);
  ProcessChangeBatch(watcher, RecordBuffer({{platform::FILE_ACTION_RENAMED_OLD_NAME, u"unknown.txt"},
                                            {platform::FILE_ACTION_RENAMED_NEW_NAME, u"landed.txt"}}));
  std::ifstream in(Native("landed.txt"), std::ios::binary);
  const std::string now{std::istreambuf_iterator<char>(in), {}};
  EXPECT_TRUE(now == kept) << now.size() << " bytes left of " << kept.size();

  // A user's file moved away from data.bin and on again before the host made
  // its own data.bin, which the user then moved too; the first move's
  // records are handled before the host's item's own: they are not the
  // host's item moving (told so, its later delete removed the host's file).
  WriteFile("data.bin", "host's");
  MakePlaceholderWithId(u"\\data.bin", u"\\data.bin", platform::CF_CONVERT_FLAG_MARK_IN_SYNC);
  Know(u"\\data.bin");
  struct stat made;
  ASSERT_EQ(0, stat(Native("data.bin").c_str(), &made));
  engine().unseen_creations.Add(u"\\data.bin", static_cast<int64_t>(made.st_ino));
  ASSERT_EQ(0, std::rename(Native("data.bin").c_str(), Native("kept.bin").c_str()));
  ProcessChangeBatch(watcher, RecordBuffer({{platform::FILE_ACTION_RENAMED_OLD_NAME, u"data.bin"},
                                            {platform::FILE_ACTION_RENAMED_NEW_NAME, u"report.doc"}}));
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_RENAME_FILE, "\\data.bin")) << Seen();
  EXPECT_FALSE(engine().metadata_cache.NoItemInCache(u"\\data.bin"));
}

TEST_F(RescanTest, ChangeFoundByTheRescanAndTheRecordsAtOnceIsReportedOnce) {
  const std::u16string rel = u"\\both.txt";
  WriteFile("both.txt", "b");
  MakePlaceholder(rel);
  Know(rel);
  constexpr int kRounds = 30;
  for (int round = 1; round <= kRounds; ++round) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000 + round, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, Native("both.txt").c_str(), times, 0));
    platform::WIN32_FIND_DATAW data;
    const platform::Handle find = platform::FindFirstFileW(Full(rel).c_str(), &data);
    ASSERT_NE(platform::INVALID_HANDLE_VALUE, find);
    platform::FindClose(find);
    LocalItemValues values;
    values.attributes = ItemAttributesFromPlatform(data.dwFileAttributes);
    values.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    values.creation_time = data.ftCreationTime;
    values.last_access_time = data.ftLastAccessTime;
    values.last_write_time = data.ftLastWriteTime;
    // Both start together, as the rescan and the records' worker do.
    std::atomic<int> ready{0};
    const auto update = [&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      UpdateLocalItem(engine(), nullptr, rel, Full(rel), values);
    };
    std::thread other(update);
    update();
    other.join();
  }
  EXPECT_EQ(static_cast<size_t>(kRounds), CountOf(HALVEX_EVENT_UPDATE_FILE));
}

TEST_F(RescanTest, RecordLanesAndARescanReportEachNewItemOnceAndEveryFolderBeforeItsContent) {
  // A slow host keeps the lanes and the rescan on the same new items.
  create_delay_ms_ = 5;
  std::vector<RecordSpec> records;
  for (const std::string folder : {"a", "b", "c"}) {
    MakeDir(folder);
    records.push_back({platform::FILE_ACTION_ADDED, Wide(folder), 0, 0, platform::FILE_ATTRIBUTE_DIRECTORY});
    for (int f = 0; f < 6; ++f) {
      WriteFile(folder + "/f" + std::to_string(f), "x");
      records.push_back({platform::FILE_ACTION_ADDED, Wide(folder + "\\f" + std::to_string(f))});
    }
  }
  DirectoryWatcher watcher(engine(), Root());
  ASSERT_EQ(0u, watcher.record_lanes().Start(3, 0, nullptr));
  std::thread rescan([&] { RescanMissingFiles(engine(), Root()); });
  ProcessChangeBatch(watcher, RecordBuffer(records));
  rescan.join();
  EXPECT_EQ(18u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  EXPECT_EQ(3u, CountOf(HALVEX_EVENT_CREATE_FOLDER)) << Seen();
  const auto all = host_.Events();
  for (const std::string folder : {"\\a", "\\b", "\\c"}) {
    const auto created = std::find_if(all.begin(), all.end(), [&](const auto& e) { return e.path == folder; });
    const auto inside = std::find_if(all.begin(), all.end(), [&](const auto& e) { return e.path.rfind(folder + "\\", 0) == 0; });
    EXPECT_LT(created - all.begin(), inside - all.begin()) << folder << ": " << Seen();
  }
}

TEST_F(RescanTest, OfflineCheckReportsPlainItemsAndRenamedPlaceholders) {
  MakeDir("copied");
  WriteFile("copied/inside.txt", "i");
  WriteFile("moved.txt", "m");
  MakePlaceholderWithId(u"\\moved.txt", u"\\before.txt");
  WriteFile("stayed.txt", "s");
  MakePlaceholderWithId(u"\\stayed.txt", u"\\STAYED.txt");  // case does not matter

  ASSERT_TRUE(OfflineCheck(engine(), Root()));
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_RENAME_FILE));
  EXPECT_EQ("\\before.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].path);
  EXPECT_EQ("\\moved.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].new_path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FOLDER));
  EXPECT_EQ("\\copied", Events(HALVEX_EVENT_CREATE_FOLDER)[0].path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE));
  EXPECT_EQ("\\copied\\inside.txt", Events(HALVEX_EVENT_CREATE_FILE)[0].path);
  EXPECT_EQ(0u, engine().tasks.Count());  // no task left behind

  EXPECT_FALSE(OfflineCheck(engine(), Root() + u"\\absent"));
  EXPECT_FALSE(OfflineCheck(engine(), Full(u"\\moved.txt")));
  EXPECT_EQ(1u, LinesWith(u"Target is not a directory: '" + Full(u"\\moved.txt") + u"'"));

  // Accepted late: the cache, rebuilt since the item moved, never knew it
  // under the old name; the late answer takes it in under the new one, or
  // its next rename would reach the host as a new file.
  WriteFile("later.txt", "l");
  MakePlaceholderWithId(u"\\later.txt", u"\\earlier.txt");
  host_.answer = [](SeenEvent& e, intptr_t* params, int32_t*) {
    if (e.id == HALVEX_EVENT_RENAME_FILE) params[e.count - 1] = HALVEX_ERR_PENDING;
    return 0;
  };
  ASSERT_TRUE(OfflineCheck(engine(), Root()));
  RenameInfo info;
  {
    TaskRegistry::Lock lock(engine().tasks);
    Task* task = engine().tasks.AcquireByKeyLocked(u"\\later.txt", OP_RENAME);
    ASSERT_NE(nullptr, task);
    info = *task->RenameInfo;
    engine().tasks.ReleaseLocked(task);
  }
  ASSERT_EQ(kOk, FinishLocalRename(engine(), Root(), u"\\earlier.txt", u"\\later.txt", &info));
  CacheItem known;
  EXPECT_TRUE(engine().metadata_cache.Lookup(u"\\later.txt", &known, nullptr));
  std::u16string identity;
  ASSERT_TRUE(engine().placeholder_manager->GetItemIdByPath(Full(u"\\later.txt").c_str(), identity));
  EXPECT_EQ(u"\\later.txt", identity);

  // Refused, with data only on the server, under the name a rename the host
  // took late gave it (its identity still names the name before): it goes
  // back there, and the cache, rebuilt since it moved, knows it there, or
  // its next move would be offered as a new file.
  WriteFile("moved-on.txt", std::string(8192, 'd'));
  MakePlaceholderWithId(u"\\moved-on.txt", u"\\draft.txt",
                        platform::CF_CONVERT_FLAG_MARK_IN_SYNC | platform::CF_CONVERT_FLAG_DEHYDRATE);
  engine().taken_renames.Note(u"\\draft.txt", u"\\final.txt", int64_t{1} << 62);
  host_.answer = [](SeenEvent& e, intptr_t* params, int32_t*) {
    if (e.id == HALVEX_EVENT_RENAME_FILE) params[e.count - 1] = HALVEX_ERR_OPERATION_DENIED;
    return 0;
  };
  ASSERT_TRUE(OfflineCheck(engine(), Root()));
  ASSERT_TRUE(PathExists(Full(u"\\final.txt"))) << Seen();
  EXPECT_TRUE(engine().metadata_cache.Lookup(u"\\final.txt", nullptr, nullptr));

  // The host's own rename, through its method, of an item the cache does
  // not know (not seen since this start): its identity follows all the
  // same, or the next start would tell the host of the rename it made.
  WriteFile("lent.txt", "l");
  MakePlaceholderWithId(u"\\lent.txt", u"\\hosts.txt");
  ASSERT_EQ(kOk, FinishLocalRename(engine(), Root(), u"\\hosts.txt", u"\\lent.txt", nullptr));
  ASSERT_TRUE(engine().placeholder_manager->GetItemIdByPath(Full(u"\\lent.txt").c_str(), identity));
  EXPECT_EQ(u"\\lent.txt", identity);
}

// A folder moved while stopped to a name another folder left by a rename the
// host made long before, a file renamed inside it: the file's move is told
// from under the folder it was in, not from under the one that had the name.
TEST_F(RescanTest, OfflineMovesFollowOnlyTheRenamesOfTheirOwnFolder) {
  engine().taken_renames.Note(u"\\f1", u"\\work\\work", 1);
  MakeDir("f1");
  MakePlaceholderWithId(u"\\f1", u"\\work");
  WriteFile("f1/b.txt", "b");
  MakePlaceholderWithId(u"\\f1\\b.txt", u"\\work\\report.doc");

  ASSERT_TRUE(OfflineCheck(engine(), Root()));
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_RENAME_FOLDER));
  EXPECT_EQ("\\work", Events(HALVEX_EVENT_RENAME_FOLDER)[0].path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_RENAME_FILE));
  EXPECT_EQ("\\f1\\report.doc", Events(HALVEX_EVENT_RENAME_FILE)[0].path);
  EXPECT_EQ("\\f1\\b.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].new_path);
}

// A removal and an addition with one file id, under other parents: a move,
// unless the id was merely free again (Linux hands a freed inode number to
// the next new item at once).
TEST_F(RescanTest, AFileIdFreedByARemovalDoesNotMakeTheNextNewItemAMove) {
  constexpr uint32_t kFolder = platform::FILE_ATTRIBUTE_DIRECTORY;
  // A known placeholder named after where it stands.
  const auto known = [&](const std::string& rel, bool folder) {
    if (folder) MakeDir(rel);
    else WriteFile(rel, rel);
    std::u16string path = u"\\" + Wide(rel);
    for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
    MakePlaceholderWithId(path, path);
    Know(path);
  };
  known("shelf", true);
  known("gone", true);
  ASSERT_EQ(0, rmdir(Native("gone").c_str()));
  // The host's new file, made where it stands; another, moved on by the
  // user before its record is handled (known at the path its record names,
  // and gone from there); a file moved into the shelf from the root, still
  // named after where it was.
  known("shelf/fresh.txt", false);
  known("shelf/taken.txt", false);
  ASSERT_EQ(0, std::rename(Native("shelf/taken.txt").c_str(), Native("shelf/on.txt").c_str()));
  known("left.txt", false);
  ASSERT_EQ(0, unlink(Native("left.txt").c_str()));
  known("moved.txt", false);
  ASSERT_EQ(0, std::rename(Native("moved.txt").c_str(), Native("shelf/moved.txt").c_str()));
  // Moved to where the cache still holds a create the host refused, of a
  // file moved away from there since: a move all the same.
  // The removal of a file the host is moving itself (its method has not
  // returned yet), and a new file handed the same id: the new file is news.
  known("hostmoved.txt", false);
  ASSERT_EQ(0, std::rename(Native("hostmoved.txt").c_str(), Native("hostmoved-target.txt").c_str()));
  engine().pending.AddPending(u"\\hostmoved.txt", kOpRename, false);
  WriteFile("shelf/marker.txt", "m");
  known("carried.txt", false);
  ASSERT_EQ(0, std::rename(Native("carried.txt").c_str(), Native("shelf/spot.txt").c_str()));
  engine().metadata_cache.AddNewItemToCache(u"\\shelf\\spot.txt", u"spot.txt", 0, 3, 1, 1, 1);
  engine().metadata_cache.SetCreateFailed(u"\\shelf\\spot.txt", true);

  DirectoryWatcher watcher(engine(), Root());
  ProcessChangeBatch(watcher, RecordBuffer({{platform::FILE_ACTION_REMOVED, u"gone", 7, 1, kFolder},
                                            {platform::FILE_ACTION_ADDED, u"shelf\\fresh.txt", 7, 2, 0},
                                            {platform::FILE_ACTION_REMOVED, u"left.txt", 9, 1, 0},
                                            {platform::FILE_ACTION_ADDED, u"shelf\\taken.txt", 9, 2, 0},
                                            {platform::FILE_ACTION_REMOVED, u"moved.txt", 8, 1, 0},
                                            {platform::FILE_ACTION_ADDED, u"shelf\\moved.txt", 8, 2, 0},
                                            {platform::FILE_ACTION_REMOVED, u"carried.txt", 12, 1, 0},
                                            {platform::FILE_ACTION_ADDED, u"shelf\\spot.txt", 12, 2, 0},
                                            {platform::FILE_ACTION_REMOVED, u"hostmoved.txt", 13, 1, 0},
                                            {platform::FILE_ACTION_ADDED, u"shelf\\marker.txt", 13, 2, 0}}));
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_RENAME_FOLDER)) << Seen();
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_DELETE_FOLDER, "\\gone")) << Seen();
  ASSERT_EQ(2u, CountOf(HALVEX_EVENT_RENAME_FILE)) << Seen();
  EXPECT_EQ("\\shelf\\moved.txt", Events(HALVEX_EVENT_RENAME_FILE)[0].new_path);
  EXPECT_EQ("\\shelf\\spot.txt", Events(HALVEX_EVENT_RENAME_FILE)[1].new_path);
  ASSERT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE)) << Seen();
  EXPECT_EQ("\\shelf\\marker.txt", Events(HALVEX_EVENT_CREATE_FILE)[0].path);
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_DELETE_FILE, "\\left.txt")) << Seen();
}

TEST_F(RescanTest, RescanStopsWhenTheEngineStops) {
  WriteFile("a.txt", "a");
  engine().state.deactivating.store(1);
  EXPECT_EQ(0, RescanMissingFiles(engine(), Root()));
  engine().state.deactivating.store(0);
  EXPECT_EQ(0u, CountOf(HALVEX_EVENT_CREATE_FILE));
  EXPECT_EQ(1, RescanMissingFiles(engine(), Root()));
  EXPECT_EQ(0, RescanMissingFiles(engine(), Root()));  // now known
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FILE));
}

}  // namespace
}  // namespace corvane::testing
