// inotify has no recursive watch: every folder of the tree gets its own watch,
// and the kernel's per-folder events are turned into the records a recursive
// Windows watch would have produced.
#include "platform/directory_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/local/errno_win32.h"
#include "platform/local/item_info.h"
#include "platform/local/local_item.h"
#include "platform/local/made_here.h"
#include "platform/local/native_path.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/private_names.h"
#include "platform/local/quiet_dir.h"
#include "support/mutex.h"
#include "support/utf.h"

namespace corvane::platform {

using local::ItemInfo;

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR |
                                IN_EXCL_UNLINK;
constexpr DWORD kAllNotifyFilters = 0x7F;
constexpr DWORD kNameFilterForFiles = FILE_NOTIFY_CHANGE_FILE_NAME;
constexpr DWORD kNameFilterForFolders = FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kContentFilter = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kMetadataFilter = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                                  FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
constexpr size_t kRecordHeaderSize = offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName);
// Records waiting for the caller beyond this count are dropped and reported
// as an overflow, as Windows does when its change list fills up.
constexpr size_t kMaxPendingRecords = 1 << 20;
// Kernel events read but not translated yet, in bytes. The kernel's own
// queue holds only max_queued_events (16384 by default), so the reader
// keeps far more; past this, changes count as lost.
constexpr size_t kMaxUnreadBytes = size_t{256} << 20;
constexpr size_t kReadChunk = 256 * 1024;
// Waits of 2 ms for a rename's second half before the first counts as a
// move out of the tree.
constexpr int kMoveHalfWaits = 25;
// How long the reader lets kernel events gather after reading some: far
// below what fills the kernel's queue (16384 events by default) in a burst.
constexpr std::chrono::microseconds kGatherEvents{500};
// A completion goes out once this many records wait, even in a burst.
constexpr size_t kDeliverAfterRecords = 8192;
// Action of the record that stands for lost changes: the records before it
// are delivered first, the overflow after them, then the records after it.
constexpr DWORD kLostMarker = 0;

struct Record {
  DWORD action = 0;
  std::string rel;  // UTF-8, '/'-separated, relative to the root
  ItemInfo info;
  int64_t parent_id = 0;
  uint64_t seq = 0;
  // `info` is still to be read: it is read when the record is handed out,
  // so that the changes folded into a waiting record cost no read each.
  bool stale = false;
  // `info.file_id` is the id the platform gave the item it made here: the
  // record stands for that item, not for whatever holds the name later.
  bool made_here = false;
  // Read for its hand-out, which is under way: the events read meanwhile
  // tell whether the name still held the record's item when it was read.
  bool being_handed_out = false;
};

struct Watch {
  std::string rel;  // "" for the root
  int64_t inode = 0;
};

struct HeldMove {
  uint32_t cookie = 0;
  int wd = -1;
  std::string rel;
  bool is_dir = false;
  int64_t parent_id = 0;
};

// An event read from the kernel and not translated yet. A rename's first
// half keeps its place in the order until its second half is read: renames
// running at once in different folders interleave their halves, and other
// changes may come between them.
struct QueuedEvent {
  uint32_t mask = 0;
  int wd = -1;
  uint32_t cookie = 0;
  std::string name;
  bool paired = false;  // first half whose second half was read
  int to_wd = -1;
  std::string to_name;
};

// A first half still unpaired after this many later events is taken for a
// move out of the tree, so that the queue stays bounded under a long burst.
constexpr size_t kMaxQueuedEvents = 4096;

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

// "#<digits>": how the kernel names a file made unnamed (O_TMPFILE) in the
// records of changes to it before it is linked.
bool HasUnnamedShape(const std::string& name) {
  return name.size() >= 2 && name[0] == '#' && name.find_first_not_of("0123456789", 1) == std::string::npos;
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

size_t RecordSize(const Record& record, std::u16string& name) {
  name = local::NativeNameToWide(record.rel);
  for (char16_t& c : name)
    if (c == u'/') c = u'\\';
  const size_t size = kRecordHeaderSize + name.size() * sizeof(char16_t);
  return (size + 7) & ~size_t{7};
}

ItemInfo InfoOf(const local::LocalItem& item, const std::string& full) {
  ItemInfo info;
  info.creation_time = static_cast<int64_t>(item.creation_time);
  info.last_modification_time = static_cast<int64_t>(item.last_write_time);
  info.last_change_time = static_cast<int64_t>(item.change_time);
  info.last_access_time = static_cast<int64_t>(item.last_access_time);
  info.allocated_length = static_cast<int64_t>(item.allocated);
  info.file_size = static_cast<int64_t>(item.size);
  info.attributes = item.Attributes(local::BaseName(full));
  info.reparse_tag = item.ReparseTag();
  info.file_id = static_cast<int64_t>(item.ino);
  info.is_directory = item.is_dir;
  return info;
}

}  // namespace

struct DirectoryChangeWatch::Impl {
  Mutex mu;
  std::atomic<bool> closing{false};
  int inotify_fd = -1;
  std::atomic<int> wake_fd{-1};
  std::string root;
  int root_wd GUARDED_BY(mu) = -1;
  std::unordered_map<int, Watch> by_wd GUARDED_BY(mu);
  std::unordered_map<std::string, int> by_path GUARDED_BY(mu);
  // Folders made and moved away before they could be watched: a later move
  // of one of them (or of a folder above) finds and watches it again.
  std::deque<std::string> unwatched GUARDED_BY(mu);
  // Real items named like unnamed files ("#<digits>"), per watch: seen in a
  // folder's listing or arriving by a record of their own. A record under
  // such a name not listed here stands for an unnamed file.
  std::unordered_map<int, std::unordered_set<std::string>> unnamed_shaped GUARDED_BY(mu);

  std::deque<Record> pending GUARDED_BY(mu);
  // Last undelivered record per path, for coalescing repeats.
  std::unordered_map<std::string, std::pair<uint64_t, DWORD>> last_by_path GUARDED_BY(mu);
  uint64_t next_seq GUARDED_BY(mu) = 1;
  uint64_t vanished_moves GUARDED_BY(mu) = 0;  // ids for moves whose item went again
  std::deque<QueuedEvent> queued GUARDED_BY(mu);
  // Removals and moves away still queued, by folder watch and name: the
  // item a record names has left the name when one of these comes later,
  // and what is read there then is another item.
  std::unordered_map<std::string, int> leaving GUARDED_BY(mu);
  DWORD root_error GUARDED_BY(mu) = 0;  // the watched folder is gone

  // The reader thread empties the kernel's queue into `unread` as fast as
  // events come, so that a burst never waits on translating them; a slow
  // translation only lets `unread` grow.
  std::thread reader_thread;
  Mutex unread_mu ACQUIRED_AFTER(mu);
  CondVar unread_cv;
  std::vector<char> unread GUARDED_BY(unread_mu);
  std::vector<char> translating GUARDED_BY(mu);
  std::vector<char> kernel_chunk GUARDED_BY(unread_mu) = std::vector<char>(kReadChunk);
  bool unread_lost GUARDED_BY(unread_mu) = false;  // `unread` was full and events were thrown away
  size_t unread_limit GUARDED_BY(unread_mu) = kMaxUnreadBytes;

  bool outstanding GUARDED_BY(mu) = false;
  void* buffer GUARDED_BY(mu) = nullptr;
  DWORD size GUARDED_BY(mu) = 0;
  bool subtree GUARDED_BY(mu) = true;
  DWORD filter GUARDED_BY(mu) = kAllNotifyFilters;
  AttributeReader reader GUARDED_BY(mu);
  bool counted GUARDED_BY(mu) = false;  // among the process's open watches

  ~Impl() {
    StopReader();
    MutexLock lock(mu);
    CloseLocked();
  }

  std::string Full(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }

  void CloseLocked() REQUIRES(mu) {
    if (counted) local::ClosedWatch();
    counted = false;
    if (inotify_fd >= 0) close(inotify_fd);
    if (wake_fd >= 0) close(wake_fd.load());
    inotify_fd = wake_fd = -1;
    by_wd.clear();
    by_path.clear();
    unnamed_shaped.clear();
    pending.clear();
    last_by_path.clear();
    queued.clear();
    leaving.clear();
    {
      // The reader has stopped; its lock is uncontended here.
      MutexLock lock(unread_mu);
      unread.clear();
      unread_lost = false;
    }
    outstanding = false;
    buffer = nullptr;
  }

  // --- reader thread ---------------------------------------------------

  void StartReader() {
    reader_thread = std::thread([this] { ReadLoop(); });
  }

  void StopReader() {
    closing = true;
    WakeReader();
    {
      MutexLock lock(unread_mu);
      unread_cv.NotifyAll();
    }
    if (reader_thread.joinable()) reader_thread.join();
  }

  void WakeReader() {
    if (const int fd = wake_fd.load(); fd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    }
  }

  // Moves what the kernel holds into `unread`; true when there was some.
  // Both the reader and the translation read the kernel, under the lock,
  // so that what each reads lands in `unread` in the kernel's order.
  bool ReadKernel() REQUIRES(unread_mu) {
    bool got = false;
    for (;;) {
      const ssize_t n = read(inotify_fd, kernel_chunk.data(), kernel_chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got = true;
      // Once events are thrown away, later ones go too until the loss is
      // taken, so that nothing is reported out of order around the gap.
      if (unread_lost || unread.size() + static_cast<size_t>(n) > unread_limit) {
        unread_lost = true;
      } else {
        unread.insert(unread.end(), kernel_chunk.data(), kernel_chunk.data() + n);
      }
    }
    if (got) unread_cv.NotifyAll();
    return got;
  }

  void ReadLoop() {
    while (!closing) {
      pollfd fds[2] = {{inotify_fd, POLLIN, 0}, {wake_fd.load(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (closing) return;
      bool got = false;
      {
        MutexLock lock(unread_mu);
        got = ReadKernel();
      }
      // A change comes alone or in a burst. Alone, poll wakes this thread
      // at once; in a burst, waking it for every event made each change in
      // the tree pay for a wake-up (most of the cost of setting an extended
      // attribute), so the events of the next moment are left to gather.
      if (got && !closing) std::this_thread::sleep_for(kGatherEvents);
    }
  }

  // Takes what the reader has read so far into `translating`; false when
  // there was nothing, after waiting up to `wait_ms` for something.
  bool TakeUnread(int wait_ms, bool& lost_events) REQUIRES(mu) {
    MutexLock lock(unread_mu);
    // What the kernel has not handed to the reader yet is taken too: a
    // record's item is read by name, and only the events after it tell
    // whether the name still holds that item.
    ReadKernel();
    if (unread.empty() && !unread_lost && wait_ms > 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
      while (!closing.load() && unread.empty() && !unread_lost && unread_cv.WaitUntil(unread_mu, deadline)) {
      }
    }
    translating.clear();
    translating.swap(unread);
    lost_events = unread_lost;
    unread_lost = false;
    return !translating.empty() || lost_events;
  }

  // --- watches ---------------------------------------------------------

  // Adds a watch for one folder. False when the folder cannot be watched.
  bool AddWatch(const std::string& rel) REQUIRES(mu) {
    const std::string full = Full(rel);
    const int wd = inotify_add_watch(inotify_fd, full.c_str(), kWatchMask);
    if (wd < 0) {
      // Out of watches: changes below this folder would go unseen.
      if (errno == ENOSPC) MarkLost();
      if (errno == ENOENT && !rel.empty()) {
        if (unwatched.size() >= 1024) unwatched.pop_front();
        unwatched.push_back(rel);
      }
      return false;
    }
    if (auto old = by_path.find(rel); old != by_path.end() && old->second != wd) by_wd.erase(old->second);
    if (auto same = by_wd.find(wd); same != by_wd.end() && same->second.rel != rel) by_path.erase(same->second.rel);
    by_wd[wd] = Watch{rel, local::ReadFileId(full)};
    by_path[rel] = wd;
    return true;
  }

  // Watches `rel` and every folder below it. With `report`, every entry found
  // is reported as added: a recursive watch would have seen them appear.
  void WatchTree(const std::string& top, bool report) REQUIRES(mu) {
    std::vector<std::string> stack{top};
    while (!stack.empty()) {
      const std::string rel = stack.back();
      stack.pop_back();
      if (!AddWatch(rel)) continue;
      const int wd = by_path[rel];
      const int64_t parent_id = by_wd[wd].inode;
      DIR* dir = local::OpenDirQuietly(Full(rel));
      if (!dir) continue;
      std::vector<std::string> subdirs;
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || local::IsPrivateName(entry->d_name)) continue;
        const std::string child = Join(rel, name);
        NoteUnnamedShaped(wd, name);
        // The entry's type usually comes with it: a stat per entry made
        // watching a freshly populated folder cost as much as populating it.
        bool is_dir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat st;
          if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          is_dir = S_ISDIR(st.st_mode);
        }
        if (report) {
          AddRecord(FILE_ACTION_ADDED, child, is_dir, parent_id, true);
          // Made here before the folder was watched, the item's note would
          // wait for the next item made at its name and give it this id.
          NoteMadeHereId(child, parent_id, name);
        }
        if (is_dir) subdirs.push_back(child);
      }
      closedir(dir);
      stack.insert(stack.end(), subdirs.rbegin(), subdirs.rend());
    }
  }

  void DropWatchesUnder(const std::string& rel, bool remove_from_kernel) REQUIRES(mu) {
    for (auto it = by_wd.begin(); it != by_wd.end();) {
      if (it->second.rel == rel || IsUnder(it->second.rel, rel)) {
        if (remove_from_kernel) inotify_rm_watch(inotify_fd, it->first);
        by_path.erase(it->second.rel);
        it = by_wd.erase(it);
      } else {
        ++it;
      }
    }
  }

  void RenameWatches(const std::string& from, const std::string& to) REQUIRES(mu) {
    std::vector<std::pair<int, std::string>> moved;
    for (auto& [wd, watch] : by_wd) {
      if (watch.rel == from || IsUnder(watch.rel, from)) moved.emplace_back(wd, to + watch.rel.substr(from.size()));
    }
    for (auto& [wd, rel] : moved) {
      by_path.erase(by_wd[wd].rel);
    }
    for (auto& [wd, rel] : moved) {
      by_wd[wd].rel = rel;
      by_path[rel] = wd;
    }
  }

  // After lost events the known paths may be stale: rebuild the watch maps
  // from the tree as it is now, and drop watches on folders that left it.
  void ResyncWatches() REQUIRES(mu) {
    std::unordered_map<int, Watch> old = std::move(by_wd);
    by_wd.clear();
    by_path.clear();
    unnamed_shaped.clear();
    WatchTree("", false);
    for (auto& [wd, watch] : old) {
      if (!by_wd.count(wd)) inotify_rm_watch(inotify_fd, wd);
    }
    auto root_it = by_path.find("");
    if (root_it == by_path.end()) {
      root_error = ERROR_ACCESS_DENIED;
    } else {
      root_wd = root_it->second;
    }
  }

  // --- records ---------------------------------------------------------

  bool Passes(DWORD action, const std::string& rel, bool is_dir, DWORD kind_filter) const REQUIRES(mu) {
    if (!subtree && rel.find('/') != std::string::npos) return false;
    if (action == FILE_ACTION_MODIFIED) return (filter & kind_filter) != 0;
    return (filter & (is_dir ? kNameFilterForFolders : kNameFilterForFiles)) != 0;
  }

  // The item as the file layer shows it (placeholder state and pin bits in
  // its attributes): what a handle opened on it would report now. Read by
  // its path: an open and a close per record cost more than the reads, and
  // a new file of a burst gives up to four records.
  ItemInfo ReadInfo(const std::string& rel, bool& exists) REQUIRES(mu) {
    ItemInfo info;
    const std::string full = Full(rel);
    // Hydration and dehydration change the data and then put the times
    // back, both under the item's state lock; read in between, the times
    // look unlike the item's stamp, and the item is read again under the
    // lock. Locking every placeholder's read besides cost a quarter of the
    // reader's time in a listing of new placeholders.
    local::LocalItem item;
    exists = local::ReadLocalItemAt(full, item, false);
    if (exists) {
      info = InfoOf(item, full);
    } else if (errno == ELOOP) {
      exists = local::ReadItemInfo(full, info);  // a symbolic link, never followed
    }
    if (exists && reader) info.attributes = reader(full);
    return info;
  }

  // Reads the item of a record when it is handed out: what is handed out is
  // never older than the last change the record stands for.
  void Refresh(Record& record) REQUIRES(mu) {
    record.stale = false;
    bool exists = false;
    ItemInfo info = ReadInfo(record.rel, exists);
    if (exists && (!record.made_here || info.file_id == record.info.file_id)) record.info = info;
  }

  void Push(Record record) REQUIRES(mu) {
    if (pending.size() >= kMaxPendingRecords) {
      MarkLost();
      return;
    }
    if (record.action == FILE_ACTION_REMOVED || record.action == FILE_ACTION_RENAMED_OLD_NAME) KeepLeavingItem(record);
    if (record.action == FILE_ACTION_ADDED || record.action == FILE_ACTION_RENAMED_NEW_NAME)
      KeepReplacedItem(record.rel);
    record.seq = next_seq++;
    last_by_path[record.rel] = {record.seq, record.action};
    pending.push_back(std::move(record));
  }

  // Records an action; the item's information is read when the record is
  // handed out. `dedupe` skips it when the same action for the same name is
  // already waiting.
  void AddRecord(DWORD action, const std::string& rel, bool is_dir, int64_t parent_id, bool dedupe,
                 DWORD kind_filter = 0) REQUIRES(mu) {
    if (!Passes(action, rel, is_dir, kind_filter)) return;
    if (dedupe) {
      // Only records still waiting count: one already handed out must not
      // swallow a later change.
      auto it = last_by_path.find(rel);
      if (it != last_by_path.end() && it->second.second == action && !pending.empty() &&
          it->second.first >= pending.front().seq) {
        // Seq numbers of waiting records run without gaps from the front.
        const uint64_t index = it->second.first - pending.front().seq;
        // One being handed out was read before this change: it goes as read.
        if (index < pending.size() && !pending[index].being_handed_out) {
          pending[index].stale = true;
          return;
        }
      }
    }
    Record record;
    record.action = action;
    record.rel = rel;
    record.parent_id = parent_id;
    // An item already gone again keeps its record, with empty information,
    // as on Windows; the records of its rename or removal follow.
    record.info.is_directory = is_dir;
    if (is_dir) record.info.attributes = FILE_ATTRIBUTE_DIRECTORY;
    record.stale = action != FILE_ACTION_REMOVED;
    Push(std::move(record));
  }

  // The record just added for `rel` stands for the item the platform made
  // there, if it made one: it reports that item as it was made (as a
  // Windows record reports the item when the change happened), and keeps
  // its id for good. A burst of new placeholders is not read back one by one.
  void NoteMadeHereId(const std::string& rel, int64_t parent_id, const std::string& name) REQUIRES(mu) {
    local::LocalItem made;
    if (!local::TakeMadeHere(parent_id, name, made) || pending.empty()) return;
    Record& record = pending.back();
    if (record.rel != rel || record.action != FILE_ACTION_ADDED) return;
    const std::string full = Full(rel);
    record.info = InfoOf(made, full);
    if (reader) record.info.attributes = reader(full);
    record.made_here = true;
    record.stale = false;
  }

  // The item just added at `rel` leaves it again in a later event: its
  // record keeps empty information, as for an item already gone, rather
  // than another item's that takes the name after it.
  void KeepUnreadWhenLeft(int wd, const std::string& name, const std::string& rel) REQUIRES(mu) {
    if (pending.empty() || !LeavesLater(wd, name)) return;
    Record& record = pending.back();
    if (record.rel == rel && record.action == FILE_ACTION_ADDED && !record.made_here) record.stale = false;
  }

  void AddRemoved(const std::string& rel, bool is_dir, int64_t file_id, int64_t parent_id) REQUIRES(mu) {
    if (!Passes(FILE_ACTION_REMOVED, rel, is_dir, 0)) return;
    Record record;
    record.action = FILE_ACTION_REMOVED;
    record.rel = rel;
    record.info.file_id = file_id;
    record.info.is_directory = is_dir;
    if (is_dir) record.info.attributes = FILE_ATTRIBUTE_DIRECTORY;
    record.parent_id = parent_id;
    Push(std::move(record));
  }

  // The item of the last record still waiting at `leaving.rel` is the one
  // leaving the name now: read at hand-out, that record would show whatever
  // takes the name next (a file renamed over it, say), and a consumer would
  // take that item for changed or new before its own records come. It
  // reports the leaving item instead, as a Windows record reports the item
  // when it changed; a deleted file's id is not known any more.
  void KeepLeavingItem(const Record& leaving) REQUIRES(mu) {
    Record* earlier = LastUnreadAt(leaving.rel);
    if (earlier == nullptr) return;
    earlier->stale = false;
    if (leaving.info.file_id != 0) {
      earlier->info = leaving.info;
    } else if (earlier->being_handed_out) {
      // Read just now, it may show an item that took the name after the
      // removal: an id no item has tells the reader it is not that one.
      earlier->info.file_id = -static_cast<int64_t>(++vanished_moves);
    }
  }

  // An item arrives at `rel` while the last record still waiting there is
  // unread: that record's item was replaced (renamed over), and is gone. It
  // keeps no information but an id no item has, as for an item gone again.
  void KeepReplacedItem(const std::string& rel) REQUIRES(mu) {
    Record* earlier = LastUnreadAt(rel);
    if (earlier == nullptr) return;
    earlier->stale = false;
    earlier->info.file_id = -static_cast<int64_t>(++vanished_moves);
  }

  // The last record at `rel` still waiting, when its item is still to be
  // read at hand-out.
  Record* LastUnreadAt(const std::string& rel) REQUIRES(mu) {
    const auto it = last_by_path.find(rel);
    if (it == last_by_path.end() || pending.empty() || it->second.first < pending.front().seq) return nullptr;
    // Seq numbers of waiting records run without gaps from the front.
    const uint64_t index = it->second.first - pending.front().seq;
    return index < pending.size() && (pending[index].stale || pending[index].being_handed_out) ? &pending[index]
                                                                                              : nullptr;
  }

  // The records already waiting are still delivered, then the loss, so the
  // caller rescans; records after it follow, none is dropped.
  void MarkLost() REQUIRES(mu) {
    last_by_path.clear();
    if (!pending.empty() && pending.back().action == kLostMarker) return;
    Record marker;
    marker.action = kLostMarker;
    marker.seq = next_seq++;
    pending.push_back(std::move(marker));
  }

  // --- event translation ----------------------------------------------

  // Moved out of the tree: gone for us. Its folder watches must go too, or
  // changes outside the tree would be reported under the old name.
  void ReportMovedOut(const HeldMove& move) REQUIRES(mu) {
    int64_t file_id = 0;
    if (move.is_dir) {
      if (auto it = by_path.find(move.rel); it != by_path.end()) file_id = by_wd[it->second].inode;
      DropWatchesUnder(move.rel, true);
    }
    AddRemoved(move.rel, move.is_dir, file_id, move.parent_id);
  }

  // `left_again`: the item moves on or goes in a later event, so whatever
  // stands at `to_rel` now is not it.
  void CompleteMove(const HeldMove& from, int to_wd, const std::string& to_rel, int64_t to_parent_id,
                    bool left_again) REQUIRES(mu) {
    if (from.is_dir) RenameWatches(from.rel, to_rel);
    bool exists = false;
    ItemInfo info;
    if (!left_again) info = ReadInfo(to_rel, exists);
    if (!exists) {
      // Still a folder or a file, as the removal says: the two pair by kind.
      info.is_directory = from.is_dir;
      if (from.is_dir) info.attributes = FILE_ATTRIBUTE_DIRECTORY;
      // Gone again, its id unread: the two halves still share one, which no
      // item's id can be, so that they pair with each other only.
      info.file_id = -static_cast<int64_t>(++vanished_moves);
    }
    if (from.wd == to_wd) {
      if (Passes(FILE_ACTION_RENAMED_OLD_NAME, to_rel, from.is_dir, 0)) {
        Push(Record{FILE_ACTION_RENAMED_OLD_NAME, from.rel, info, from.parent_id, 0});
        Push(Record{FILE_ACTION_RENAMED_NEW_NAME, to_rel, info, to_parent_id, 0});
      }
    } else {
      // Another folder: Windows reports a removal and an addition that share
      // the item's id and differ in the parent's id.
      AddRemoved(from.rel, from.is_dir, info.file_id, from.parent_id);
      if (Passes(FILE_ACTION_ADDED, to_rel, from.is_dir, 0))
        Push(Record{FILE_ACTION_ADDED, to_rel, info, to_parent_id, 0});
    }
    if (from.is_dir) WatchUnwatchedUnder(from.rel, to_rel);
  }

  // The folders below a moved one that were never watched: what a recursive
  // watch would have seen in them is reported now, under their new paths.
  void WatchUnwatchedUnder(const std::string& from, const std::string& to) REQUIRES(mu) {
    std::vector<std::string> found;
    for (auto it = unwatched.begin(); it != unwatched.end();) {
      if (*it == from || IsUnder(*it, from)) {
        found.push_back(to + it->substr(from.size()));
        it = unwatched.erase(it);
      } else {
        ++it;
      }
    }
    for (const std::string& rel : found) {
      if (rel != to) {
        const size_t slash = rel.rfind('/');
        auto parent = by_path.find(slash == std::string::npos ? std::string() : rel.substr(0, slash));
        if (parent == by_path.end()) continue;  // gone again, or its parent unwatched too
        AddRecord(FILE_ACTION_ADDED, rel, true, by_wd[parent->second].inode, true);
      }
      WatchTree(rel, true);
    }
  }

  // Queues one kernel event; a rename's second half joins its first half.
  void QueueEvent(const inotify_event& event, const char* name) REQUIRES(mu) {
    if (event.mask & IN_Q_OVERFLOW) {
      // What was read before the overflow is still true: translate it
      // (an unpaired rename half may have lost its pair) before the loss.
      TranslateReady(true);
      MarkLost();
      ResyncWatches();
      return;
    }
    // The platform's own half-made items: the rename that puts one in place
    // arrives alone and reads as the item added.
    if (event.len > 0 && local::IsPrivateName(name)) return;
    if (event.mask & IN_MOVED_TO) {
      // The first half is nearly always the event just before.
      for (auto q = queued.rbegin(); q != queued.rend(); ++q) {
        if ((q->mask & IN_MOVED_FROM) && !q->paired && q->cookie == event.cookie) {
          q->paired = true;
          q->to_wd = event.wd;
          q->to_name.assign(name);
          return;
        }
      }
    }
    QueuedEvent& q = queued.emplace_back();
    q.mask = event.mask;
    q.wd = event.wd;
    q.cookie = event.cookie;
    q.name.assign(name);
    if (IsLeaving(q)) ++leaving[LeavingKey(q.wd, q.name)];
  }

  static bool IsLeaving(const QueuedEvent& event) {
    return (event.mask & (IN_MOVED_FROM | IN_DELETE)) != 0 && !event.name.empty();
  }
  static std::string LeavingKey(int wd, const std::string& name) { return std::to_string(wd) + '/' + name; }

  // The item at `name` in folder watch `wd` leaves it again in an event not
  // yet translated.
  bool LeavesLater(int wd, const std::string& name) const REQUIRES(mu) {
    return !leaving.empty() && leaving.count(LeavingKey(wd, name)) > 0;
  }

  // Translates queued events in order up to the first rename half still
  // waiting for its pair; with `flush_all`, or when too much waits behind
  // it, such a half is a move out of the tree.
  void TranslateReady(bool flush_all) REQUIRES(mu) {
    while (!queued.empty()) {
      const QueuedEvent& head = queued.front();
      const bool waiting = (head.mask & IN_MOVED_FROM) && !head.paired;
      if (waiting && !flush_all && queued.size() <= kMaxQueuedEvents) return;
      QueuedEvent event = std::move(queued.front());
      queued.pop_front();
      if (IsLeaving(event)) {
        const auto it = leaving.find(LeavingKey(event.wd, event.name));
        if (it != leaving.end() && --it->second <= 0) leaving.erase(it);
      }
      Translate(event);
    }
  }

  void Translate(const QueuedEvent& event) REQUIRES(mu) {
    auto it = by_wd.find(event.wd);
    if (it == by_wd.end()) return;  // a watch already dropped
    if (event.mask & IN_IGNORED) {
      if (event.wd == root_wd) root_error = ERROR_ACCESS_DENIED;
      unnamed_shaped.erase(event.wd);
      by_path.erase(it->second.rel);
      by_wd.erase(it);
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      // A folder's own removal is reported by its parent; only the root matters.
      if (event.wd == root_wd) root_error = ERROR_ACCESS_DENIED;
      return;
    }
    if (event.name.empty()) return;
    const std::string rel = Join(it->second.rel, event.name);
    const int64_t parent_id = it->second.inode;
    const bool is_dir = (event.mask & IN_ISDIR) != 0;

    if (event.mask & (IN_MOVED_FROM | IN_DELETE)) ForgetUnnamedShaped(event.wd, event.name);
    if (event.mask & (IN_MOVED_TO | IN_CREATE)) NoteUnnamedShaped(event.wd, event.name);
    if (event.mask & IN_MOVED_FROM) {
      const HeldMove from{event.cookie, event.wd, rel, is_dir, parent_id};
      auto to = by_wd.find(event.to_wd);
      if (event.paired) NoteUnnamedShaped(event.to_wd, event.to_name);
      if (!event.paired || to == by_wd.end() || event.to_name.empty()) {
        ReportMovedOut(from);
        return;
      }
      CompleteMove(from, event.to_wd, Join(to->second.rel, event.to_name), to->second.inode,
                   LeavesLater(event.to_wd, event.to_name));
      return;
    }
    if (event.mask & IN_MOVED_TO) {
      // Moved in: only the item is new to a recursive watch; its contents
      // came with it. (A placeholder folder is moved in from its private name.)
      AddRecord(FILE_ACTION_ADDED, rel, is_dir, parent_id, false);
      NoteMadeHereId(rel, parent_id, event.name);
      KeepUnreadWhenLeft(event.wd, event.name, rel);
      if (is_dir) WatchTree(rel, false);
      return;
    }
    if (event.mask & IN_CREATE) {
      AddRecord(FILE_ACTION_ADDED, rel, is_dir, parent_id, true);
      NoteMadeHereId(rel, parent_id, event.name);
      KeepUnreadWhenLeft(event.wd, event.name, rel);
      if (is_dir) WatchTree(rel, true);
      return;
    }
    if (event.mask & IN_DELETE) {
      int64_t file_id = 0;
      if (is_dir) {
        if (auto sub = by_path.find(rel); sub != by_path.end()) file_id = by_wd[sub->second].inode;
        DropWatchesUnder(rel, false);
      }
      AddRemoved(rel, is_dir, file_id, parent_id);
      return;
    }
    if (!is_dir && UnnamedFile(event.wd, event.name, rel)) return;
    if (event.mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
      AddRecord(FILE_ACTION_MODIFIED, rel, is_dir, parent_id, true, kContentFilter);
    } else if (event.mask & IN_ATTRIB) {
      AddRecord(FILE_ACTION_MODIFIED, rel, is_dir, parent_id, true, kMetadataFilter);
    }
  }

  void NoteUnnamedShaped(int wd, const std::string& name) REQUIRES(mu) {
    if (HasUnnamedShape(name)) unnamed_shaped[wd].insert(name);
  }

  void ForgetUnnamedShaped(int wd, const std::string& name) REQUIRES(mu) {
    if (!HasUnnamedShape(name)) return;
    if (auto it = unnamed_shaped.find(wd); it != unnamed_shaped.end()) it->second.erase(name);
  }

  // The kernel names a file made unnamed (O_TMPFILE) "#<inode>" in the
  // records of writes to it before it is linked. Such a record is dropped
  // unless an item of that name was seen in the folder and still exists: a
  // real file named so keeps its records, a stray one for it finds nothing
  // changed. The platform's own placeholders are made so, three records
  // each: a look per record cost more than the rest of their records.
  bool UnnamedFile(int wd, const std::string& name, const std::string& rel) const REQUIRES(mu) {
    if (!HasUnnamedShape(name)) return false;
    const auto it = unnamed_shaped.find(wd);
    if (it == unnamed_shaped.end() || !it->second.count(name)) return true;
    struct stat st;
    return lstat(Full(rel).c_str(), &st) != 0;
  }

  // Translates what the reader thread has read so far.
  void Drain() REQUIRES(mu) {
    for (int waits = 0;;) {
      bool lost_events = false;
      // The second half of a rename is queued right after the first, but
      // on a loaded machine the renaming thread or the reader may be
      // preempted in between: a move taken for a removal is reported as a
      // delete, so a move out of the tree is told only after a while.
      const int wait_ms = !queued.empty() && waits < kMoveHalfWaits ? 2 : 0;
      if (!TakeUnread(wait_ms, lost_events)) {
        if (wait_ms > 0) {
          ++waits;
          continue;
        }
        TranslateReady(true);
        return;
      }
      TranslateTaken(lost_events);
      // Hand on what there is rather than translate a long burst first.
      if (pending.size() >= kDeliverAfterRecords) return;
    }
  }

  void TranslateTaken(bool lost_events) REQUIRES(mu) {
    // inotify returns whole events only, so a chunk never splits one.
    for (size_t off = 0; off + sizeof(inotify_event) <= translating.size();) {
      inotify_event event;
      std::memcpy(&event, translating.data() + off, sizeof event);
      QueueEvent(event, event.len > 0 ? translating.data() + off + sizeof event : "");
      off += sizeof(inotify_event) + event.len;
    }
    TranslateReady(false);
    if (lost_events) {
      TranslateReady(true);
      MarkLost();
      ResyncWatches();
    }
  }

  // The records about to be handed out are read now, by name; a rename or
  // removal made before a read but not yet translated would let a record
  // show the item that took the name since. The events the kernel has by
  // the end of the reads include every such change: those translated now
  // put the leaving item's values back in its record, and a record whose
  // name leaves in an event still waiting for its other half gets an id no
  // item has, so that the reader skips it for that item's own records.
  void ReadForHandOut(size_t count) REQUIRES(mu) {
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
      Record& record = pending[i];
      if (!record.stale) continue;
      Refresh(record);
      record.being_handed_out = any = true;
    }
    if (!any) return;
    bool lost_events = false;
    if (TakeUnread(0, lost_events)) TranslateTaken(lost_events);
    for (size_t i = 0; i < count; ++i) {
      Record& record = pending[i];
      if (!record.being_handed_out) continue;
      record.being_handed_out = false;
      const size_t slash = record.rel.rfind('/');
      const auto folder = by_path.find(slash == std::string::npos ? std::string() : record.rel.substr(0, slash));
      if (folder != by_path.end() &&
          LeavesLater(folder->second, slash == std::string::npos ? record.rel : record.rel.substr(slash + 1)))
        record.info.file_id = -static_cast<int64_t>(++vanished_moves);
    }
  }

  bool Completed() const REQUIRES(mu) { return outstanding && (root_error || !pending.empty()); }

  DWORD Deliver(DWORD& bytes) REQUIRES(mu) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t used = 0;
    FILE_NOTIFY_EXTENDED_INFORMATION* previous = nullptr;
    std::u16string name;
    size_t fitting = 0;
    for (size_t fit_used = 0; fitting < pending.size() && pending[fitting].action != kLostMarker; ++fitting) {
      fit_used += RecordSize(pending[fitting], name);
      if (fit_used > size) break;
    }
    ReadForHandOut(fitting);
    while (fitting-- > 0) {
      Record& record = pending.front();
      const size_t record_size = RecordSize(record, name);
      auto* info = reinterpret_cast<FILE_NOTIFY_EXTENDED_INFORMATION*>(out + used);
      std::memset(info, 0, record_size);
      info->Action = record.action;
      info->CreationTime = record.info.creation_time;
      info->LastModificationTime = record.info.last_modification_time;
      info->LastChangeTime = record.info.last_change_time;
      info->LastAccessTime = record.info.last_access_time;
      info->AllocatedLength = record.info.allocated_length;
      info->FileSize = record.info.file_size;
      info->FileAttributes = record.info.attributes;
      info->ReparsePointTag = record.info.reparse_tag;
      info->FileId = record.info.file_id;
      info->ParentFileId = record.parent_id;
      info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(char16_t));
      std::memcpy(info->FileName, name.data(), name.size() * sizeof(char16_t));
      if (previous) previous->NextEntryOffset = static_cast<DWORD>(reinterpret_cast<unsigned char*>(info) -
                                                                  reinterpret_cast<unsigned char*>(previous));
      previous = info;
      used += record_size;
      pending.pop_front();
    }
    if (pending.empty()) last_by_path.clear();
    outstanding = false;
    if (used == 0) {
      // Not even one record fits: the caller can only rescan. Records up
      // to the next loss go; the rescan covers them.
      while (!pending.empty() && pending.front().action != kLostMarker) pending.pop_front();
      if (!pending.empty()) pending.pop_front();
      last_by_path.clear();
      bytes = 0;
      return ERROR_NOTIFY_ENUM_DIR;
    }
    bytes = static_cast<DWORD>(used);
    return ERROR_SUCCESS;
  }
};

DirectoryChangeWatch::DirectoryChangeWatch() : impl_(std::make_unique<Impl>()) {}

DirectoryChangeWatch::~DirectoryChangeWatch() { Close(); }

DWORD DirectoryChangeWatch::Open(std::u16string_view path) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  if (im.inotify_fd >= 0) return ERROR_INVALID_PARAMETER;
  std::string native;
  if (!local::ToNativePath(path, native) || native.empty()) return ERROR_INVALID_NAME;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    if (errno != ENOENT) return local::Win32ErrorFromErrno(errno);
    // Like Windows: a missing folder on an existing parent is a missing
    // file, a missing parent a missing path.
    const std::string parent = native.substr(0, native.rfind('/'));
    struct stat parent_st;
    const bool parent_ok = parent.empty() || (stat(parent.c_str(), &parent_st) == 0 && S_ISDIR(parent_st.st_mode));
    return parent_ok ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  // Watches never follow symlinks, so a root reached through one is watched
  // at its real place.
  if (char* real = realpath(native.c_str(), nullptr)) {
    native = real;
    free(real);
  }
  im.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (im.inotify_fd < 0) return local::Win32ErrorFromErrno(errno);
  im.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (im.wake_fd < 0) {
    const DWORD error = local::Win32ErrorFromErrno(errno);
    im.CloseLocked();
    return error;
  }
  im.root = native == "/" ? std::string() : native;
  im.closing = false;
  im.root_error = 0;
  if (!im.AddWatch("")) {
    const DWORD error = local::Win32ErrorFromErrno(errno);
    im.CloseLocked();
    return error;
  }
  im.root_wd = im.by_path[""];
  im.pending.clear();
  im.WatchTree("", false);
  local::OpenedWatch();
  im.counted = true;
  im.StartReader();
  return ERROR_SUCCESS;
}

DWORD DirectoryChangeWatch::Request(void* buffer, DWORD size, bool subtree, DWORD filter) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  if (im.inotify_fd < 0) return ERROR_INVALID_HANDLE;
  if (im.root_error) return im.root_error;
  if (!buffer || size == 0 || filter == 0) return ERROR_INVALID_PARAMETER;
  im.buffer = buffer;
  im.size = size;
  im.subtree = subtree;
  im.filter = filter;
  im.outstanding = true;
  return ERROR_SUCCESS;
}

DWORD DirectoryChangeWatch::Wait(DWORD timeout_ms) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (im.inotify_fd < 0 || im.closing) return kWaitFailed;
    im.Drain();
    if (im.Completed()) return kWaitSignalled;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return kWaitTimeout;
    const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(left);
    MutexLock unread_lock(im.unread_mu);
    while (!im.closing.load() && im.unread.empty() && !im.unread_lost && im.unread_cv.WaitUntil(im.unread_mu, slice)) {
    }
  }
}

DWORD DirectoryChangeWatch::GetResult(DWORD& bytes) {
  Impl& im = *impl_;
  MutexLock lock(im.mu);
  bytes = 0;
  if (im.inotify_fd < 0) return ERROR_INVALID_HANDLE;
  if (!im.outstanding) return ERROR_INVALID_PARAMETER;
  im.Drain();
  if (im.root_error) {
    im.outstanding = false;
    return im.root_error;
  }
  if (im.pending.empty()) return ERROR_IO_INCOMPLETE;
  if (im.pending.front().action == kLostMarker) {
    im.pending.pop_front();
    im.outstanding = false;
    return ERROR_NOTIFY_ENUM_DIR;
  }
  return im.Deliver(bytes);
}

void DirectoryChangeWatch::Close() {
  if (!impl_) return;
  // Wakes a waiting caller too, and the reader goes before its fds do.
  impl_->StopReader();
  MutexLock lock(impl_->mu);
  impl_->CloseLocked();
}

void DirectoryChangeWatch::SetUnreadLimit(size_t bytes) {
  MutexLock lock(impl_->unread_mu);
  impl_->unread_limit = bytes;
}

void DirectoryChangeWatch::SetAttributeReader(AttributeReader reader) {
  MutexLock lock(impl_->mu);
  impl_->reader = std::move(reader);
}

}  // namespace corvane::platform
