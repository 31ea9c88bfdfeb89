#include "platform/directory_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/local/native_path.h"
#include "common/test_process.h"
#include "platform_local_services/temp_dirs.h"
#include "support/utf.h"

namespace corvane::platform {
namespace {

using testing::TempDir;

struct Change {
  DWORD action;
  std::string name;  // backslash form, as reported
  int64_t file_id;
  int64_t parent_id;
  DWORD attributes;
  int64_t size;
  int64_t creation_time;
};

int64_t Inode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_ino) : -1;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

class DirectoryChangesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(watch_.Open(local::FromNativePath(root_.path())), ERROR_SUCCESS); }

  // Runs the request/wait/result loop the watcher runs, parsing every
  // completion, until `quiet_ms` pass without a record. A write whose kernel
  // events are read on both sides of a completion is reported again at the
  // head of the next one, as on Windows; such a repeat is dropped here so
  // that the order of distinct changes can be compared exactly.
  std::vector<Change> Collect(int quiet_ms = 300, DWORD buffer_size = 64 * 1024, DWORD* last_error = nullptr,
                              bool subtree = true, DWORD filter = 0x7F) {
    std::vector<Change> changes;
    size_t previous_start = 0;  // where the last completion's records begin
    std::vector<uint64_t> buffer(buffer_size / 8);
    auto quiet_since = std::chrono::steady_clock::now();
    EXPECT_EQ(watch_.Request(buffer.data(), buffer_size, subtree, filter), ERROR_SUCCESS);
    while (std::chrono::steady_clock::now() - quiet_since < std::chrono::milliseconds(quiet_ms)) {
      if (watch_.Wait(50) != kWaitSignalled) continue;
      DWORD bytes = 0;
      const DWORD error = watch_.GetResult(bytes);
      if (last_error && error) *last_error = error;
      if (error == ERROR_SUCCESS) {
        std::vector<Change> completion;
        Parse(buffer.data(), bytes, completion);
        size_t repeats = 0;
        while (repeats < completion.size() && completion[repeats].action == FILE_ACTION_MODIFIED &&
               std::any_of(changes.begin() + static_cast<std::ptrdiff_t>(previous_start), changes.end(),
                           [&](const Change& c) {
                             return c.action == FILE_ACTION_MODIFIED && c.name == completion[repeats].name;
                           }))
          ++repeats;
        previous_start = changes.size();
        changes.insert(changes.end(), completion.begin() + static_cast<std::ptrdiff_t>(repeats), completion.end());
      }
      quiet_since = std::chrono::steady_clock::now();
      EXPECT_EQ(watch_.Request(buffer.data(), buffer_size, subtree, filter), ERROR_SUCCESS);
    }
    return changes;
  }

  static void Parse(const void* data, DWORD bytes, std::vector<Change>& out) {
    const auto* base = static_cast<const unsigned char*>(data);
    for (DWORD offset = 0;;) {
      ASSERT_EQ(offset % 8, 0u);
      ASSERT_LT(offset, bytes);
      const auto* info = reinterpret_cast<const FILE_NOTIFY_EXTENDED_INFORMATION*>(base + offset);
      ASSERT_LE(offset + offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName) + info->FileNameLength, bytes);
      std::u16string name(info->FileName, info->FileNameLength / 2);
      out.push_back({info->Action, Utf16ToUtf8Lossy(name), info->FileId, info->ParentFileId, info->FileAttributes,
                     info->FileSize, info->CreationTime});
      if (info->NextEntryOffset == 0) return;
      offset += info->NextEntryOffset;
    }
  }

  static std::vector<std::pair<DWORD, std::string>> Actions(const std::vector<Change>& changes) {
    std::vector<std::pair<DWORD, std::string>> out;
    for (const Change& c : changes) out.emplace_back(c.action, c.name);
    return out;
  }

  TempDir root_;
  DirectoryChangeWatch watch_;
};

using Expected = std::vector<std::pair<DWORD, std::string>>;

TEST_F(DirectoryChangesTest, CreateWriteRenameDeleteInOrderWithRepeatsCoalesced) {
  WriteFile(root_ / "a.txt", "one");
  {
    std::ofstream f(root_ / "a.txt", std::ios::app);
    for (int i = 0; i < 50; ++i) f << "more" << std::flush;
  }
  ASSERT_EQ(rename((root_ / "a.txt").c_str(), (root_ / "b.txt").c_str()), 0);
  ASSERT_EQ(unlink((root_ / "b.txt").c_str()), 0);
  // Repeats still unread are merged; a reader that empties the kernel queue
  // in the middle of the 51 writes may report the change once more.
  Expected actions = Actions(Collect());
  const Expected::value_type modified{FILE_ACTION_MODIFIED, "a.txt"};
  EXPECT_LE(std::count(actions.begin(), actions.end(), modified), 3) << "repeated writes were not merged";
  actions.erase(std::unique(actions.begin(), actions.end()), actions.end());
  EXPECT_EQ(actions, (Expected{{FILE_ACTION_ADDED, "a.txt"},
                               modified,
                               {FILE_ACTION_RENAMED_OLD_NAME, "a.txt"},
                               {FILE_ACTION_RENAMED_NEW_NAME, "b.txt"},
                               {FILE_ACTION_REMOVED, "b.txt"}}));
}

TEST_F(DirectoryChangesTest, NewFolderContentsAreReportedOnceEvenWhenCreatedAtOnce) {
  ASSERT_EQ(mkdir((root_ / "n").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ / "n/sub").c_str(), 0755), 0);
  WriteFile(root_ / "n/f", "x");
  WriteFile(root_ / "n/sub/g", "y");
  std::vector<Change> changes = Collect();
  for (const char* name : {"n", "n\\sub", "n\\f", "n\\sub\\g"}) {
    int added = 0;
    for (const Change& c : changes) added += c.action == FILE_ACTION_ADDED && c.name == name;
    EXPECT_EQ(added, 1) << name;
  }
  for (const Change& c : changes) {
    if (c.name == "n\\sub") {
      EXPECT_EQ(c.attributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    }
    if (c.name == "n\\sub\\g" && c.action == FILE_ACTION_ADDED) {
      EXPECT_EQ(c.parent_id, Inode(root_ / "n/sub"));
    }
  }
  // The new folders are watched from now on. A truncating write is two
  // kernel events, merged only when the second comes before the first is
  // read; like Windows, the platform may then report the change twice.
  WriteFile(root_ / "n/sub/g", "changed");
  const auto later = Actions(Collect());
  ASSERT_FALSE(later.empty());
  for (const auto& change : later) EXPECT_EQ(change, (Expected{{FILE_ACTION_MODIFIED, "n\\sub\\g"}})[0]);
}

TEST_F(DirectoryChangesTest, MovesAcrossFoldersPairByFileIdAndKeepWatchesOnMovedFolders) {
  ASSERT_EQ(mkdir((root_ / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ / "b").c_str(), 0755), 0);
  WriteFile(root_ / "a/x", "x");
  Collect();

  ASSERT_EQ(rename((root_ / "a/x").c_str(), (root_ / "b/x").c_str()), 0);
  std::vector<Change> moved = Collect();
  ASSERT_EQ(Actions(moved), (Expected{{FILE_ACTION_REMOVED, "a\\x"}, {FILE_ACTION_ADDED, "b\\x"}}));
  EXPECT_EQ(moved[0].file_id, Inode(root_ / "b/x"));
  EXPECT_EQ(moved[1].file_id, moved[0].file_id);
  EXPECT_EQ(moved[0].parent_id, Inode(root_ / "a"));
  EXPECT_EQ(moved[1].parent_id, Inode(root_ / "b"));

  // Moved and gone before it could be read: the halves still share an id,
  // and one that no deleted or unread item has (0).
  WriteFile(root_ / "a/y", "y");
  Collect();
  ASSERT_EQ(rename((root_ / "a/y").c_str(), (root_ / "b/y").c_str()), 0);
  ASSERT_EQ(unlink((root_ / "b/y").c_str()), 0);
  moved = Collect();
  ASSERT_EQ(Actions(moved), (Expected{{FILE_ACTION_REMOVED, "a\\y"}, {FILE_ACTION_ADDED, "b\\y"}, {FILE_ACTION_REMOVED, "b\\y"}}));
  EXPECT_NE(moved[0].file_id, 0);
  EXPECT_EQ(moved[1].file_id, moved[0].file_id);
  EXPECT_EQ(moved[2].file_id, 0);

  // Renamed, renamed on, and the first new name taken by another file, all
  // before the records were read: the first rename's halves must not carry
  // the newcomer's id, or they would read as a rename of the newcomer.
  WriteFile(root_ / "b/p", "p");
  Collect();
  ASSERT_EQ(rename((root_ / "b/p").c_str(), (root_ / "b/q").c_str()), 0);
  ASSERT_EQ(rename((root_ / "b/q").c_str(), (root_ / "b/r").c_str()), 0);
  WriteFile(root_ / "b/q", "newcomer");
  moved = Collect();
  ASSERT_GE(moved.size(), 5u);
  ASSERT_EQ(Actions(moved).at(1), std::make_pair(DWORD{FILE_ACTION_RENAMED_NEW_NAME}, std::string("b\\q")));
  EXPECT_NE(moved[1].file_id, Inode(root_ / "b/q"));
  EXPECT_EQ(moved[0].file_id, moved[1].file_id);
  EXPECT_EQ(moved[3].file_id, Inode(root_ / "b/r"));
  ASSERT_EQ(Actions(moved).at(4), std::make_pair(DWORD{FILE_ACTION_ADDED}, std::string("b\\q")));
  EXPECT_EQ(moved[4].file_id, Inode(root_ / "b/q"));

  // A folder moved and then renamed keeps reporting under its new name. Its
  // move's halves, unread, still share an id and both show a folder: the
  // addition showed a file, so the two never paired, and the move went to
  // the host as a delete of the folder.
  ASSERT_EQ(rename((root_ / "a").c_str(), (root_ / "b/a").c_str()), 0);
  ASSERT_EQ(rename((root_ / "b/a").c_str(), (root_ / "b/c").c_str()), 0);
  WriteFile(root_ / "b/c/new", "n");
  moved = Collect();
  EXPECT_EQ(Actions(moved), (Expected{{FILE_ACTION_REMOVED, "a"},
                                      {FILE_ACTION_ADDED, "b\\a"},
                                      {FILE_ACTION_RENAMED_OLD_NAME, "b\\a"},
                                      {FILE_ACTION_RENAMED_NEW_NAME, "b\\c"},
                                      {FILE_ACTION_ADDED, "b\\c\\new"},
                                      {FILE_ACTION_MODIFIED, "b\\c\\new"}}));
  ASSERT_GE(moved.size(), 4u);
  EXPECT_EQ(moved[1].file_id, moved[0].file_id);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(moved[i].attributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY) << i;
}

TEST_F(DirectoryChangesTest, MovesOutOfAndIntoTheTreeAndSymlinksStayOutside) {
  TempDir outside;
  ASSERT_EQ(mkdir((root_ / "d").c_str(), 0755), 0);
  WriteFile(root_ / "d/f", "f");
  ASSERT_EQ(mkdir((outside / "in").c_str(), 0755), 0);
  WriteFile(outside / "in/old", "o");
  ASSERT_EQ(symlink(outside.path().c_str(), (root_ / "link").c_str()), 0);
  Collect();

  ASSERT_EQ(rename((root_ / "d").c_str(), (outside / "d").c_str()), 0);
  ASSERT_EQ(rename((outside / "in").c_str(), (root_ / "in").c_str()), 0);
  std::vector<Change> changes = Collect();
  ASSERT_EQ(Actions(changes), (Expected{{FILE_ACTION_REMOVED, "d"}, {FILE_ACTION_ADDED, "in"}}));
  EXPECT_EQ(changes[0].attributes, FILE_ATTRIBUTE_DIRECTORY);  // what is known of a folder that left

  // Nothing outside the tree is reported, neither the folder that left it nor
  // what a symlink points at; the moved-in folder is watched.
  WriteFile(outside / "d/f", "changed");
  WriteFile(outside / "via-link", "x");
  WriteFile(root_ / "in/new", "n");
  EXPECT_EQ(Actions(Collect()), (Expected{{FILE_ACTION_ADDED, "in\\new"}, {FILE_ACTION_MODIFIED, "in\\new"}}));

  // A link's record shows the link, not the file outside that it names.
  WriteFile(outside / "big", std::string(5000, 'b'));
  ASSERT_EQ(symlink((outside / "big").c_str(), (root_ / "to-big").c_str()), 0);
  changes = Collect();
  ASSERT_EQ(Actions(changes), (Expected{{FILE_ACTION_ADDED, "to-big"}}));
  EXPECT_NE(changes[0].size, 5000);
  EXPECT_TRUE(changes[0].attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Renames running at once in different folders interleave their two halves
// in the kernel's queue, with other changes between them; each must still
// come out as one rename, never as a removal and an addition. A name that left the tree and came back is
// removed before it is added again.
TEST_F(DirectoryChangesTest, ConcurrentRenamesStayRenamesAndAMoveOutPrecedesARecreate) {
  constexpr int kThreads = 6, kFiles = 150;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(mkdir((root_ / ("d" + std::to_string(t))).c_str(), 0755), 0);
    for (int i = 0; i < kFiles; ++i) WriteFile(root_ / ("d" + std::to_string(t) + "/f" + std::to_string(i)), "x");
  }
  Collect();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string dir = root_ / ("d" + std::to_string(t));
      for (int i = 0; i < kFiles; ++i) {
        const std::string from = dir + "/f" + std::to_string(i);
        rename(from.c_str(), (from + "-moved").c_str());
        close(open((dir + "/g" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const std::vector<Change> changes = Collect();
  size_t renames = 0;
  for (size_t i = 0; i < changes.size(); ++i) {
    EXPECT_NE(changes[i].action, FILE_ACTION_REMOVED) << changes[i].name;
    if (changes[i].action == FILE_ACTION_ADDED) {
      EXPECT_NE(changes[i].name.find("\\g"), std::string::npos);
    }
    if (changes[i].action != FILE_ACTION_RENAMED_OLD_NAME) continue;
    ASSERT_LT(i + 1, changes.size());
    EXPECT_EQ(changes[i + 1].action, FILE_ACTION_RENAMED_NEW_NAME);
    EXPECT_EQ(changes[i + 1].name, changes[i].name + "-moved");
    ++renames;
  }
  EXPECT_EQ(renames, static_cast<size_t>(kThreads * kFiles));

  TempDir outside;
  WriteFile(root_ / "back", "1");
  Collect();
  ASSERT_EQ(rename((root_ / "back").c_str(), (outside / "back").c_str()), 0);
  WriteFile(root_ / "back", "2");
  const std::vector<Change> again = Collect();
  ASSERT_GE(again.size(), 2u);
  EXPECT_EQ(again[0].action, FILE_ACTION_REMOVED);
  EXPECT_EQ(again[1].action, FILE_ACTION_ADDED);
}

TEST_F(DirectoryChangesTest, BurstLargerThanTheKernelQueueIsReadInFullWhileNobodyCollects) {
  // Two events a file, more than the kernel's 16384-event queue holds, and
  // no request waiting meanwhile: the reader must keep the queue empty.
  constexpr int kFiles = 12000;
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open((root_ / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  DWORD error = 0;
  const std::vector<Change> changes = Collect(300, 1 << 20, &error);
  EXPECT_EQ(error, 0u);
  std::vector<bool> added(kFiles, false);
  for (const Change& c : changes) {
    ASSERT_EQ(c.name[0], 'f');
    const int index = std::stoi(c.name.substr(1));
    if (c.action == FILE_ACTION_ADDED) {
      EXPECT_FALSE(added[index]) << c.name << " added twice";
      added[index] = true;
    }
  }
  EXPECT_EQ(std::count(added.begin(), added.end(), true), kFiles);

  WriteFile(root_ / "after", "a");
  EXPECT_EQ(Actions(Collect()), (Expected{{FILE_ACTION_ADDED, "after"}, {FILE_ACTION_MODIFIED, "after"}}));
}

TEST_F(DirectoryChangesTest, LossIsReportedAfterTheRecordsReadBeforeItAndNothingAfterItIsDropped) {
  std::vector<uint64_t> buffer(64 * 1024 / 8);
  ASSERT_EQ(watch_.Request(buffer.data(), 64 * 1024, true, 0x7F), ERROR_SUCCESS);
  watch_.SetUnreadLimit(2048);
  ASSERT_EQ(mkdir((root_ / "before").c_str(), 0755), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // read, not yet collected
  for (int i = 0; i < 200; ++i) WriteFile(root_ / ("lost" + std::to_string(i)), "x");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  ASSERT_EQ(watch_.Wait(2000), kWaitSignalled);
  DWORD bytes = 0;
  ASSERT_EQ(watch_.GetResult(bytes), ERROR_SUCCESS);
  std::vector<Change> first;
  Parse(buffer.data(), bytes, first);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(Actions(first)[0], (std::pair<DWORD, std::string>{FILE_ACTION_ADDED, "before"}));
  // Whatever fitted under the limit may follow; then the loss.
  DWORD error = 0;
  for (int i = 0; i < 3 && error == 0; ++i) {
    ASSERT_EQ(watch_.Request(buffer.data(), 64 * 1024, true, 0x7F), ERROR_SUCCESS);
    if (watch_.Wait(2000) != kWaitSignalled) break;
    error = watch_.GetResult(bytes);
  }
  EXPECT_EQ(error, ERROR_NOTIFY_ENUM_DIR);

  watch_.SetUnreadLimit(size_t{64} << 20);
  WriteFile(root_ / "before/after", "a");
  EXPECT_EQ(Actions(Collect()), (Expected{{FILE_ACTION_ADDED, "before\\after"}, {FILE_ACTION_MODIFIED, "before\\after"}}));
}

TEST_F(DirectoryChangesTest, SmallBufferSplitsRecordsOverCompletionsWithoutOverflow) {
  for (int i = 0; i < 20; ++i) ASSERT_EQ(mkdir((root_ / ("folder-" + std::to_string(i))).c_str(), 0755), 0);
  DWORD error = 0;
  std::vector<Change> changes = Collect(300, 256, &error);
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(changes.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(changes[i].name, "folder-" + std::to_string(i));
}

TEST_F(DirectoryChangesTest, ChangeAfterAHandedOutRecordIsNotCoalescedAway) {
  // Without a request the watch reads and folds changes but hands nothing
  // out: the rewrite of z joins z's waiting record, which must then carry
  // the values after the rewrite, not those of the first write.
  WriteFile(root_ / "z", "1");
  EXPECT_EQ(watch_.Wait(1000), kWaitTimeout);
  WriteFile(root_ / "z", "three");
  EXPECT_EQ(watch_.Wait(1000), kWaitTimeout);
  const std::vector<Change> z = Collect();
  ASSERT_FALSE(z.empty());
  EXPECT_EQ(z.back().name, "z");
  EXPECT_EQ(z.back().size, 5);

  // The changes of x are one kernel event each (a new time), so none can be
  // read half before the record is handed out and half after.
  const auto touch = [&](time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root_ / "x").c_str(), times, 0), 0);
  };
  WriteFile(root_ / "x", "1");
  Collect();
  touch(1600000000);
  WriteFile(root_ / "y", "y");
  // Read by then, y's records wait behind the one handed out below; the
  // change of x after it must not be merged into the handed-out record.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<uint64_t> buffer(12);  // room for one record
  ASSERT_EQ(watch_.Request(buffer.data(), 96, true, 0x7F), ERROR_SUCCESS);
  ASSERT_EQ(watch_.Wait(2000), kWaitSignalled);
  DWORD bytes = 0;
  ASSERT_EQ(watch_.GetResult(bytes), ERROR_SUCCESS);
  std::vector<Change> first;
  Parse(buffer.data(), bytes, first);
  ASSERT_EQ(Actions(first), (Expected{{FILE_ACTION_MODIFIED, "x"}}));
  touch(1700000000);
  EXPECT_EQ(Actions(Collect(300, 96)), (Expected{{FILE_ACTION_ADDED, "y"},
                                                 {FILE_ACTION_MODIFIED, "y"},
                                                 {FILE_ACTION_MODIFIED, "x"}}));

  // A change still waiting whose file then leaves the name, moved to
  // another folder or within this one, another file renamed onto the name:
  // the waiting record is of the file that left, not of the newcomer, whose
  // own records follow.
  ASSERT_EQ(mkdir((root_ / "far").c_str(), 0755), 0);
  for (const char* name : {"n", "m", "p", "q", "r", "s"}) WriteFile(root_ / name, name);
  Collect();
  WriteFile(root_ / "n", "n, edited");
  WriteFile(root_ / "p", "p, edited");
  WriteFile(root_ / "r", "r, edited");
  ASSERT_EQ(rename((root_ / "s").c_str(), (root_ / "r").c_str()), 0);  // r replaced: its record has no item's id
  ASSERT_EQ(rename((root_ / "n").c_str(), (root_ / "far/n").c_str()), 0);
  ASSERT_EQ(rename((root_ / "p").c_str(), (root_ / "p2").c_str()), 0);
  ASSERT_EQ(rename((root_ / "m").c_str(), (root_ / "n").c_str()), 0);
  ASSERT_EQ(rename((root_ / "q").c_str(), (root_ / "p").c_str()), 0);
  const std::vector<Change> left = Collect();
  for (const auto& [name, moved] : {std::pair{"n", "far/n"}, std::pair{"p", "p2"}}) {
    const std::string edited = name;
    const auto edit = std::find_if(left.begin(), left.end(), [&edited](const Change& c) {
      return c.action == FILE_ACTION_MODIFIED && c.name == edited;
    });
    ASSERT_NE(edit, left.end()) << name;
    EXPECT_EQ(edit->file_id, Inode(root_ / moved)) << name;
    EXPECT_NE(edit->file_id, Inode(root_ / name)) << name;
  }
  const auto replaced = std::find_if(left.begin(), left.end(), [](const Change& c) {
    return c.action == FILE_ACTION_MODIFIED && c.name == "r";
  });
  ASSERT_NE(replaced, left.end());
  EXPECT_LT(replaced->file_id, 0);
}

// The kernel's name for a file not yet linked is "#<inode>": its records
// go. A real file named like that keeps its records, however it came:
// there before the watch, made, renamed to the name, in a renamed folder.
TEST_F(DirectoryChangesTest, AFileNamedLikeAnUnnamedOneKeepsItsRecords) {
  WriteFile(root_ / "#34", "x");
  ASSERT_EQ(mkdir((root_ / "d").c_str(), 0755), 0);
  WriteFile(root_ / "d/#78", "x");
  watch_.Close();
  ASSERT_EQ(watch_.Open(local::FromNativePath(root_.path())), ERROR_SUCCESS);
  WriteFile(root_ / "#12", "x");
  WriteFile(root_ / "plain", "x");
  ASSERT_EQ(rename((root_ / "plain").c_str(), (root_ / "#56").c_str()), 0);
  ASSERT_EQ(rename((root_ / "d").c_str(), (root_ / "e").c_str()), 0);
  Collect();
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  for (const char* name : {"#12", "#34", "#56", "e/#78"})
    ASSERT_EQ(utimensat(AT_FDCWD, (root_ / name).c_str(), times, 0), 0) << name;
  const int fd = open(root_.path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "t", 1), 1);
  ASSERT_EQ(futimens(fd, times), 0);
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  ASSERT_EQ(linkat(AT_FDCWD, self.c_str(), AT_FDCWD, (root_ / "linked").c_str(), AT_SYMLINK_FOLLOW), 0);
  close(fd);
  auto actions = Actions(Collect());
  ASSERT_GE(actions.size(), 5u);
  // Closed after the link: a change of "linked" may follow its addition.
  if (actions.size() > 5 && actions.back() == std::make_pair(DWORD{FILE_ACTION_MODIFIED}, std::string("linked")))
    actions.pop_back();
  EXPECT_EQ(actions, (Expected{{FILE_ACTION_MODIFIED, "#12"},
                               {FILE_ACTION_MODIFIED, "#34"},
                               {FILE_ACTION_MODIFIED, "#56"},
                               {FILE_ACTION_MODIFIED, "e\\#78"},
                               {FILE_ACTION_ADDED, "linked"}}));
}

TEST_F(DirectoryChangesTest, FilterAndSubtreeLimitWhatIsReported) {
  ASSERT_EQ(mkdir((root_ / "sub").c_str(), 0755), 0);
  WriteFile(root_ / "sub/x", "x");
  WriteFile(root_ / "top", "t");
  EXPECT_EQ(Actions(Collect(300, 4096, nullptr, false, FILE_NOTIFY_CHANGE_FILE_NAME)),
            (Expected{{FILE_ACTION_ADDED, "top"}}));
}

TEST_F(DirectoryChangesTest, AttributesAndTimesAreWhatTheFileLayerShowsUnlessAReaderIsSet) {
  WriteFile(root_ / ".hidden", "h");
  WriteFile(root_ / "ro", "r");
  ASSERT_EQ(chmod((root_ / "ro").c_str(), 0444), 0);
  // Stored by the file layer, not in the inode: a record must show them as
  // a handle on the item does, or the watcher takes the item for changed.
  WriteFile(root_ / "sys", "s");
  const std::u16string sys = local::FromNativePath(root_ / "sys");
  ASSERT_TRUE(SetFileAttributesW(sys.c_str(), FILE_ATTRIBUTE_SYSTEM));
  Handle handle = CreateFileW(sys.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, 0);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  FILE_BASIC_INFO basic{};
  basic.CreationTime = 130000000000000000;
  ASSERT_TRUE(SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic));
  CloseHandle(handle);
  std::vector<Change> changes = Collect();
  ASSERT_GE(changes.size(), 3u);
  bool sys_seen = false;
  for (const Change& c : changes) {
    if (c.name == ".hidden") {
      EXPECT_EQ(c.attributes, FILE_ATTRIBUTE_HIDDEN);
    }
    if (c.name == "ro") {
      EXPECT_EQ(c.attributes, FILE_ATTRIBUTE_READONLY);
    }
    if (c.name == "sys" && c.action == FILE_ACTION_MODIFIED) sys_seen = true;
  }
  ASSERT_TRUE(sys_seen);
  EXPECT_EQ(changes.back().name, "sys");
  EXPECT_EQ(changes.back().attributes, FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(changes.back().creation_time, 130000000000000000);

  std::string asked;
  watch_.SetAttributeReader([&](const std::string& path) {
    asked = path;
    return FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_NORMAL;
  });
  WriteFile(root_ / "p", "p");
  changes = Collect();
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes[0].attributes, FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(asked, root_ / "p");
}

TEST(DirectoryChangeWatch, OpenFailsLikeWindowsForMissingOrNonFolderPaths) {
  TempDir dir;
  WriteFile(dir / "file", "f");
  DirectoryChangeWatch watch;
  EXPECT_EQ(watch.Open(local::FromNativePath(dir / "missing")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(watch.Open(local::FromNativePath(dir / "missing/deeper")), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(watch.Open(local::FromNativePath(dir / "file")), ERROR_DIRECTORY);
  DWORD bytes = 0;
  EXPECT_EQ(watch.GetResult(bytes), ERROR_INVALID_HANDLE);
  EXPECT_EQ(watch.Wait(0), kWaitFailed);
}

TEST(DirectoryChangeWatch, RootReachedThroughASymlinkIsWatched) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  DirectoryChangeWatch watch;
  ASSERT_EQ(watch.Open(local::FromNativePath(dir / "link")), ERROR_SUCCESS);
  WriteFile(dir / "real/f", "f");
  std::vector<uint64_t> buffer(512);
  ASSERT_EQ(watch.Request(buffer.data(), 4096, true, 0x7F), ERROR_SUCCESS);
  ASSERT_EQ(watch.Wait(2000), kWaitSignalled);
  DWORD bytes = 0;
  ASSERT_EQ(watch.GetResult(bytes), ERROR_SUCCESS);
  const auto* info = reinterpret_cast<const FILE_NOTIFY_EXTENDED_INFORMATION*>(buffer.data());
  EXPECT_EQ(info->Action, FILE_ACTION_ADDED);
  EXPECT_EQ(std::u16string(info->FileName, info->FileNameLength / 2), u"f");
}

TEST(DirectoryChangeWatch, CloseWithPendingDataReleasesEverythingAndWakesAWaiter) {
  TempDir dir;
  const int fds_before = CountEntries("/proc/self/fd");
  const int threads_before = test_common::ThreadCount();
  {
    DirectoryChangeWatch watch;
    ASSERT_EQ(watch.Open(local::FromNativePath(dir.path())), ERROR_SUCCESS);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(mkdir((dir / ("d" + std::to_string(i))).c_str(), 0755), 0);
    std::vector<uint64_t> buffer(1024);
    ASSERT_EQ(watch.Request(buffer.data(), 8192, true, 0x7F), ERROR_SUCCESS);
    ASSERT_EQ(watch.Wait(1000), kWaitSignalled);
    watch.Close();
    EXPECT_EQ(watch.Wait(0), kWaitFailed);

    // A waiter on another thread returns as soon as the watch is closed.
    ASSERT_EQ(watch.Open(local::FromNativePath(dir.path())), ERROR_SUCCESS);
    ASSERT_EQ(watch.Request(buffer.data(), 8192, true, 0x7F), ERROR_SUCCESS);
    DWORD wait_result = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] { wait_result = watch.Wait(20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    watch.Close();
    waiter.join();
    EXPECT_EQ(wait_result, kWaitFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds_before);
  EXPECT_TRUE(test_common::ThreadsBackTo(threads_before));
}

}  // namespace
}  // namespace corvane::platform
