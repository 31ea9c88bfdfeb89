#include "watcher/change_processing.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/enumeration_report.h"
#include "engine/event_bridges.h"
#include "engine/exclusion.h"
#include "engine/host_events.h"
#include "engine/item_operations_create_update.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update_states.h"
#include "provider/placeholder_manager.h"
#include "support/hex.h"
#include "support/mutex.h"
#include "support/utf.h"
#include "watcher/change_records.h"
#include "watcher/directory_watcher.h"
#include "watcher/item_attributes.h"
#include "watcher/lock_files.h"
#include "watcher/moved_into_new_folders.h"
#include "watcher/record_lanes.h"
#include "watcher/rescan.h"

namespace corvane {

namespace {

constexpr int32_t kFlagCreationTime = 0x02;
constexpr int32_t kFlagLastWriteTime = 0x04;
constexpr int32_t kFlagLastAccessTime = 0x08;
constexpr int32_t kFlagAttributes = 0x20;
constexpr int32_t kFlagContent = 0x40;
constexpr int32_t kItemPinned = 0x00100000;
constexpr int32_t kItemUnpinned = 0x00200000;

const char16_t* ExcludedStateName(ExcludedState state) {
  switch (state) {
    case ExcludedState::kDoNothing: return u"PROCESS_EXCLUDED_DO_NOTHING";
    case ExcludedState::kSkip: return u"PROCESS_EXCLUDED_SKIP";
    case ExcludedState::kIncluded: return u"PROCESS_EXCLUDED_INCLUDED";
    case ExcludedState::kNewlyExcluded: return u"PROCESS_EXCLUDED_NEWLY_EXCLUDED";
  }
  return u"PROCESS_EXCLUDED_UNKNOWN";
}

// Engine clocks count file time in milliseconds.
int64_t NowMs() { return CurrentTimeMs(); }

// The platform's state of the item at `full`; INVALID without a manager.
platform::CF_PLACEHOLDER_STATE PlaceholderStateAt(Engine& engine, const std::u16string& full) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  return manager ? manager->GetPlaceholderState(full.c_str()) : platform::CF_PLACEHOLDER_STATE_INVALID;
}

bool IsPlaceholderState(platform::CF_PLACEHOLDER_STATE state) {
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER);
}

// A failing check counts as "not excluded".
ExcludedState ExclusionFor(Engine& engine, const std::u16string& relative_path, uint32_t platform_attributes,
                           bool log_success) {
  ExcludedState state = ExcludedState::kDoNothing;
  const int32_t rc = ProcessExcludedState(engine, relative_path, platform_attributes, &state);
  if (rc != 0) {
    LogF(engine.diag.log_sink(), kLogFailure, u"Failed to process excluded state in watcher for: '%s', error: 0x%x",
         relative_path, static_cast<uint32_t>(rc));
    return ExcludedState::kDoNothing;
  }
  if (log_success)
    LogF(engine.diag.log_sink(), kLogVerbose, u"Processing excluded state for: '%s', result: %s", relative_path,
         ExcludedStateName(state));
  return state;
}

// 0 with the values, 1 when the item is gone, or -1 for another failure.
int LogReadResult(Engine& engine, const std::u16string& full_path, uint32_t error) {
  using namespace platform;
  if (error == 0) return 0;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"File not found '%s'. Its already moved or deleted. OS error code: 0x%x",
         full_path, error);
    return 1;
  }
  LogF(engine.diag.log_sink(), kLogFailure, u"Failed to get file information for '%s'. OS error code: 0x%x", full_path,
       error);
  engine.diag.SetOsLastError(error);
  return -1;
}

// The item and its cache entry read as one view, so that the comparison
// never sees half of a change the engine makes to the item itself.
struct LocalView {
  uint32_t read_error = 0;
  LocalItemValues values;
  bool locked = false;
  bool known = false;
  CacheItem cached;
};

LocalView ReadLocalView(Engine& engine, const std::u16string& rel, const std::u16string& full) {
  LocalView view;
  PathLockItem lock(engine.own_changes, rel);
  view.known = engine.metadata_cache.Lookup(rel, &view.cached, nullptr);
  view.locked = view.known && view.cached.Locked != 0;
  if (!view.locked) view.read_error = ReadLocalValues(full, view.values);
  return view;
}

}  // namespace

bool PathExists(const std::u16string& full_path) {
  return platform::GetFileAttributesW(full_path.c_str()) != platform::INVALID_FILE_ATTRIBUTES;
}

bool AdoptKnownPlaceholder(Engine& engine, const std::u16string& relative_path, const std::u16string& full_path,
                           const LocalItemValues& values) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full_path.c_str());
  if (state == platform::CF_PLACEHOLDER_STATE_INVALID || !(state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER))
    return false;
  std::u16string item_id;
  if (!manager->GetItemIdByPath(full_path.c_str(), item_id)) return false;
  if (item_id != relative_path && !(values.folder && item_id.empty())) return false;
  // Not in sync, it may be one the host refused to create: still new to it.
  if (!(state & platform::CF_PLACEHOLDER_STATE_IN_SYNC)) return false;
  const size_t slash = relative_path.find_last_of(u'\\');
  engine.metadata_cache.AddNewItemToCache(relative_path, relative_path.substr(slash + 1),
                                          static_cast<uint32_t>(values.attributes), values.size,
                                          values.creation_time, values.last_access_time, values.last_write_time);
  LogF(engine.diag.log_sink(), kLogVerbose, u"Known placeholder taken back into the metadata cache: '%s'",
       relative_path);
  return true;
}

namespace {

// The update against `cached`, a copy of the item's cache entry read together
// with `values`, which is no refused create's. It takes no report lock, so a
// caller that holds one may use it.
int32_t UpdateCachedItem(Engine& engine, const std::u16string& rel, const std::u16string& full,
                         const LocalItemValues& values, const CacheItem& cached);

// The entry of a create the host refused holds what that create reported:
// records that still show that content belong to the refusal, and only
// content written since is news to the host.
bool WrittenSinceRefusedCreate(const CacheItem& entry, const LocalItemValues& values) {
  return entry.Size != values.size || entry.LastWriteTime != static_cast<uint64_t>(values.last_write_time);
}

// True, and logged, for an item the host holds locked: what happens to it
// meanwhile is the host's own change.
bool IgnoredAsLocked(Engine& engine, bool locked, const std::u16string& full) {
  if (locked) LogF(engine.diag.log_sink(), kLogVerbose, u"Locked file detected and ignored: '%s'", full);
  return locked;
}

// True, and logged, when `entry` is a refused create's and `values` still
// show what it reported (the failed attempt's own state changes bring
// several records): the entry stays for all of them, or each would report
// the file anew and fail again, without end.
bool LeftAsRefused(Engine& engine, const std::u16string& rel, const CacheItem& entry, const LocalItemValues& values) {
  if (!entry.CreateFailed || WrittenSinceRefusedCreate(entry, values)) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"Skip item processing because of OnCreate event error: '%s'", rel);
  return true;
}

int32_t ReportAsNew(Engine& engine, DirectoryWatcher* watcher, const std::u16string& relative_path,
                    const std::u16string& full_path, const LocalItemValues& values_read)
    REQUIRES_SHARED(engine.item_reports) {
  // A wait below lets the user go on: the item may be written, or another
  // put in its place, by the time the host has answered.
  LocalItemValues values = values_read;
  // A folder above it waits for the host's answer to its move: refused, the
  // folder goes back, and the item with it, to a name this record does not
  // have; the walk of the folder reports it there.
  if (AwaitAnswersAbove(engine, relative_path)) {
    if (!PathExists(full_path)) {
      LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' went with its folder since its record: not reported here",
           relative_path);
      return 0;
    }
    // The stop cut the wait short: the host may still take that move, and
    // then has the item here already. The next start finds which it is.
    if (engine.state.deactivating.load() != 0) {
      LogF(engine.diag.log_sink(), kLogVerbose,
           u"'%s' waits for its folder's move, which the stop left unanswered: the next start reports it",
           relative_path);
      return 0;
    }
    if (ReadLocalValues(full_path, values) != 0) return 0;
  }
  // The item moved here itself, its rename not answered yet: once taken,
  // this change is the known item's update, not a new one.
  if (HasRenameTask(engine, relative_path)) {
    AwaitAnswerAt(engine, relative_path);
    // Gone since: the records that follow tell of it.
    if (ReadLocalValues(full_path, values) != 0) return 0;
    CacheItem entry;
    bool known = false;
    if (engine.state.deactivating.load() == 0) {
      PathLockItem lock(engine.own_changes, relative_path);
      known = engine.metadata_cache.Lookup(relative_path, &entry, nullptr);
    }
    // A create the host refused, moved here: still new to the host, told
    // below once its content changed, else left as the refusal left it. Its
    // update would take the report lock the caller holds, and wait for ever;
    // so would that of an entry read again, which a late refusal can turn.
    if (known && entry.CreateFailed) {
      if (LeftAsRefused(engine, relative_path, entry, values)) return 0;
      engine.metadata_cache.Remove(relative_path, false);
    } else if (known && IgnoredAsLocked(engine, entry.Locked, full_path)) {
      return 0;
    } else if (known) {
      return UpdateCachedItem(engine, relative_path, full_path, values, entry);
    }
  }
  if (engine.state.deactivating.load() != 0 &&
      (HasRenameTask(engine, relative_path) || engine.cancelled_tasks.HasRenameOnto(relative_path))) {
    LogF(engine.diag.log_sink(), kLogVerbose,
         u"'%s' waits for its rename, which the stop left unanswered: the next start reports it", relative_path);
    return 0;
  }
  const int32_t result = ReportNewLocalFile(engine, full_path, values.attributes, values.size, values.creation_time,
                                            values.last_access_time, values.last_write_time, false, values.file_id);
  // Moved or deleted since its record: the records that follow report it.
  if (result == kErrLocalItemNotFound) return 0;
  if (engine.settings.windows_update_icon_on_update_errors.load())
    SetItemErrorMark(engine, full_path, result != 0 && result != kErrPending);
  if (result == 0 && values.folder && watcher != nullptr) watcher->StartNewFolderCheck(relative_path);
  return result;
}

}  // namespace

// A placeholder whose identity names a known item that is gone from its
// path is that item, moved, though no record showed the move: the platform
// saw only the removal (moved into a folder made so shortly before that it
// was not watched yet). Reported as new, the host would be offered data it
// has only under the old name, and the removal would then delete that.
bool ReportedAsUnpairedMove(Engine& engine, const std::u16string& rel, const std::u16string& full,
                            const LocalItemValues& values, int32_t& result)
    REQUIRES(engine.item_reports) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  if (!IsPlaceholderState(state)) return false;
  std::u16string item_id;
  int64_t since = 0;
  if (!manager->GetItemIdByPath(full.c_str(), item_id, &since) || item_id.empty()) return false;
  // Only an item untouched since the host had it: one it refused to take
  // under this name is out of sync and new to it. One the start found moved
  // here while stopped is the host's item, written or not.
  const bool in_sync = (state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0;
  const std::u16string noted_id = item_id;
  const bool moved_while_stopped = !engine.moved_into_waiting_folders.FolderOf(noted_id).empty();
  if (!in_sync && !moved_while_stopped) return false;
  // A name nothing is known by now: the host may have taken the item's
  // rename after it moved on, and knows it by the new name.
  if (!engine.metadata_cache.Lookup(item_id, nullptr, nullptr))
    item_id = engine.taken_renames.Follow(std::move(item_id), since);
  if (item_id == rel) return false;
  // A rename of it that waits for the host's answer is that move, reported.
  // A name the host made another item at since holds that item.
  if (PathExists(engine.EffectiveSyncRootPath() + item_id) || HasRenameTask(engine, rel) ||
      (engine.unseen_creations.Contains(item_id) &&
       engine.unseen_creations.HeldByAnother(item_id, ReadFileVersion(engine, rel).file_id)))
    return false;
  // Renamed on from that name, the host not having answered yet: taken,
  // the host has it under the rename's new name, and this move is told from
  // there (told from the old one, it would name what the host no longer has).
  if (RenameFromUnanswered(engine, item_id)) {
    AwaitAnswerAt(engine, item_id);
    if (!engine.metadata_cache.Lookup(item_id, nullptr, nullptr))
      item_id = engine.taken_renames.Follow(std::move(item_id), since);
    if (item_id == rel) return false;
  }
  CacheItem cached;
  if (!engine.metadata_cache.Lookup(item_id, &cached, nullptr)) {
    // Not known by that name (the cache was rebuilt since): an in-sync
    // placeholder that names a path gone from disk can still only be that
    // item, moved. As new, a file whose data is partly only on the server
    // could never be read nor uploaded, and a folder's content would stay
    // known under names the host does not have.
    // Written since, its version on the host is unknown: the change after
    // the move offers what is here.
    const size_t slash = item_id.rfind(u'\\');
    engine.metadata_cache.AddNewItemToCache(item_id, slash == std::u16string::npos ? item_id : item_id.substr(slash + 1),
                                            static_cast<uint32_t>(values.attributes), in_sync ? values.size : -1,
                                            static_cast<uint64_t>(values.creation_time),
                                            static_cast<uint64_t>(values.last_access_time),
                                            static_cast<uint64_t>(values.last_write_time));
    if (!engine.metadata_cache.Lookup(item_id, &cached, nullptr)) return false;
  }
  if (cached.CreateFailed || cached.IsFolder() != values.folder) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is the known '%s', moved: reporting the rename", rel, item_id);
  result = ReportLocalRename(engine, item_id, rel, full, cached, 0);
  if (moved_while_stopped) engine.moved_into_waiting_folders.Forget(noted_id);
  return true;
}

namespace {

// A file a rename still queued for a retry moved here: the host has it under
// the old name yet. Told as new, the rename would later move that older copy
// over it on the server; the rename goes now, and the file's change after it.
bool ReportedAsQueuedRename(Engine& engine, const std::u16string& rel, const std::u16string& full,
                            const LocalItemValues& values, int32_t& result) REQUIRES(engine.item_reports) {
  if (values.folder) return false;
  // Followed to its own end, the queued rename stays as it is.
  const std::u16string source = FollowQueuedRename(engine, rel, rel);
  CacheItem cached;
  if (source.empty() || !engine.metadata_cache.Lookup(source, &cached, nullptr) || cached.IsFolder() ||
      FollowQueuedRename(engine, rel, u"").empty())
    return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is where the rename of '%s' waiting for a retry ends: told now",
       rel, source);
  result = ReportLocalRename(engine, source, rel, full, cached, 0);
  return true;
}

int32_t ReportNewOrMoved(Engine& engine, DirectoryWatcher* watcher, const std::u16string& rel,
                         const std::u16string& full, const LocalItemValues& values)
    REQUIRES(engine.item_reports) {
  int32_t moved = 0;
  if (ReportedAsUnpairedMove(engine, rel, full, values, moved) ||
      ReportedAsQueuedRename(engine, rel, full, values, moved))
    return moved;
  return ReportAsNew(engine, watcher, rel, full, values);
}

int32_t PinChange(Engine& engine, const std::u16string& relative_path, const std::u16string& full_path,
                  bool pinned) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  LogSink* sink = engine.diag.log_sink();
  HydrateRequest request;
  request.path = full_path.c_str();
  request.starting_offset = 0;
  request.length = 0x7FFFFFFFFFFFFFFFLL;
  if (pinned) {
    LogF(sink, kLogVerbose, u"DoHydratePlaceholder %s", full_path);
    const HRESULT hr = manager->HydratePlaceholder(&request);
    engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
    return hr != 0 ? kErrOsCallFailed : 0;
  }
  std::u16string item_id;
  if (!manager->GetItemIdByPath(full_path.c_str(), item_id)) {
    LogF(sink, kLogVerbose, u"GetItemIdByPath for '%s' returned error code 0x%x", full_path,
         static_cast<uint32_t>(kErrOsCallFailed));
    return kErrOsCallFailed;
  }
  const HRESULT hr = manager->DehydratePlaceholder(&request);
  engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
  if (hr != 0) {
    LogF(sink, kLogVerbose, u"DehydratePlaceholder for '%s' returned error code 0x%x", full_path,
         static_cast<uint32_t>(kErrOsCallFailed));
    return kErrOsCallFailed;
  }
  int32_t ignored = 0;
  DoFileReset(engine, relative_path, false, ignored);
  return 0;
}

bool HasDeleteTask(Engine& engine, const std::u16string& relative_path) {
  TaskRegistry::Lock lock(engine.tasks);
  Task* task = engine.tasks.AcquireByKeyLocked(relative_path, OP_DELETE);
  if (task == nullptr) return false;
  engine.tasks.ReleaseLocked(task);
  return true;
}

// A removal and a later addition of the same item under another parent: a
// move. A file id is free again once its item is gone (on Linux at once), so
// an id alone does not make a pair: the two must be of one kind, and the
// added item must not be one the host made at that very path. Such an item
// is a placeholder named after its path; moved on since, it is known there
// to the cache as an item the host has (a moved one is known under its old
// path, or there only as a create the host refused).
bool Pairs(DirectoryWatcher& watcher, const ChangeRecord& removed, const ChangeRecord& added) {
  // An id of 0 is one nobody could read (a file deleted, another made and
  // gone again): two such records are not one item.
  if (removed.Action != platform::FILE_ACTION_REMOVED || added.Action != platform::FILE_ACTION_ADDED ||
      removed.ParentFileId == added.ParentFileId || removed.FileId != added.FileId || removed.FileId == 0)
    return false;
  const auto folder = [](const ChangeRecord& r) { return (r.FileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0; };
  if (folder(removed) != folder(added)) return false;
  Engine& engine = watcher.engine();
  const std::u16string rel = RelativePathOf(added);
  const std::u16string full = watcher.path() + rel;
  if (!PathExists(full)) {
    CacheItem known;
    return !engine.metadata_cache.Lookup(rel, &known, nullptr) || known.CreateFailed;
  }
  std::u16string item_id;
  int64_t since = 0;
  if (!IsPlaceholderState(PlaceholderStateAt(engine, full)) ||
      !engine.placeholder_manager->GetItemIdByPath(full.c_str(), item_id, &since))
    return true;
  // A folder moved on before the host took its moves keeps its first name
  // as its identity; the host has it where those moves took it. Back at
  // that name, it is still the item that left the other one.
  if (!item_id.empty() && !engine.metadata_cache.Lookup(item_id, nullptr, nullptr))
    item_id = engine.taken_renames.Follow(std::move(item_id), since);
  return item_id != rel;
}

const ChangeRecord* SavedRemove(DirectoryWatcher& watcher) {
  const auto& saved = watcher.change_state().saved_remove;
  return saved.empty() ? nullptr : reinterpret_cast<const ChangeRecord*>(saved.data());
}

// No exclusion setting can match an item with these attributes.
bool NoExclusionRuleFor(Engine& engine, uint32_t platform_attributes) {
  return !(engine.settings.exclude_hidden_files.load() && (platform_attributes & platform::FILE_ATTRIBUTE_HIDDEN)) &&
         !(engine.settings.exclude_temporary_files.load() &&
           (platform_attributes & platform::FILE_ATTRIBUTE_TEMPORARY)) &&
         engine.settings.excluded_files.Get().empty();
}

// The record shows a known placeholder exactly as the engine last reported
// it, and no exclusion rule could apply to it: nothing to report. The
// platform reads a record's values when it hands the record out, so a later
// change of the item comes with a record of its own. Most records of a
// burst are of this kind: the engine's own conversion and in-sync marks of
// each new file.
bool UnchangedSinceReported(Engine& engine, const std::u16string& rel, const std::u16string& full,
                            const ChangeRecord& record) {
  const uint32_t attrs = record.FileAttributes;
  if (record.ReparsePointTag == platform::IO_REPARSE_TAG_SYMLINK || !NoExclusionRuleFor(engine, attrs)) return false;
  CacheItem cached;
  {
    PathLockItem lock(engine.own_changes, rel);
    if (!engine.metadata_cache.Lookup(rel, &cached, nullptr)) return false;
  }
  const bool folder = (attrs & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (cached.Locked || cached.CreateFailed || cached.IsFolder() != folder ||
      static_cast<int32_t>(cached.Attributes) != ItemAttributesFromPlatform(attrs) ||
      cached.Size != (folder ? 0 : record.FileSize) ||
      cached.CreationTime != static_cast<uint64_t>(record.CreationTime) ||
      cached.LastWriteTime != static_cast<uint64_t>(record.LastModificationTime))
    return false;
  if (attrs & platform::FILE_ATTRIBUTE_REPARSE_POINT) return true;
  // Read before the engine made it a placeholder (the usual case for the
  // records of a new file): a known item that is none would be made one.
  return IsPlaceholderState(PlaceholderStateAt(engine, full));
}

// The update against `known`, a copy of the item's cache entry read together
// with `values`; a null `known` reports the item as new, under the report lock.
int32_t UpdateKnownItem(Engine& engine, DirectoryWatcher* watcher, const std::u16string& rel,
                        const std::u16string& full, const LocalItemValues& values, const CacheItem* known)
    EXCLUDES(engine.item_reports);

}  // namespace

void ReportUnrepresentableName(Engine& engine, const std::u16string& rel) {
  // Shown as the user typed it: the marked bytes as themselves or in hex.
  std::u16string shown;
  for (char16_t c : rel) {
    if (c < 0xDC00 || c > 0xDCFF) {
      shown.push_back(c);
    } else if (c == 0xDC00 + u'\\') {
      shown.push_back(u'\\');
    } else {
      shown += u"\\x";
      shown.push_back(HexDigit(c >> 4, true));
      shown.push_back(HexDigit(c, true));
    }
  }
  LogF(engine.diag.log_sink(), kLogFailure, u"Item skipped: its name cannot be synchronized: '%s'", shown);
  if (engine.events == nullptr) return;
  engine.events->BeforeEvent(engine.code_page.load());
  engine.events->FireError(kErrInvalidItemName,
                           "The item name holds a backslash or bytes that are not UTF-8 and is not synchronized: '" +
                               Utf16ToUtf8Lossy(shown) + "'");
}

const char16_t* FileActionName(uint32_t action) {
  switch (action) {
    case platform::FILE_ACTION_ADDED: return u"FILE_ACTION_ADDED";
    case platform::FILE_ACTION_REMOVED: return u"FILE_ACTION_REMOVED";
    case platform::FILE_ACTION_MODIFIED: return u"FILE_ACTION_MODIFIED";
    case platform::FILE_ACTION_RENAMED_OLD_NAME: return u"FILE_ACTION_RENAMED_OLD_NAME";
    case platform::FILE_ACTION_RENAMED_NEW_NAME: return u"FILE_ACTION_RENAMED_NEW_NAME";
  }
  return u"FILE_ACTION_UNKNOWN";
}

namespace {

constexpr size_t kVanishedLimit = 256;

void NoteVanished(std::vector<std::u16string>& vanished, const std::u16string& rel) {
  if (vanished.size() >= kVanishedLimit) vanished.erase(vanished.begin());
  vanished.push_back(rel);
}

int32_t ProcessRecord(DirectoryWatcher& watcher, const ChangeRecord& record, const ChangeRecord* next,
                      std::vector<std::u16string>& vanished);

// What one thread carries through the records it handles of a batch.
struct RecordRun {
  // Items this batch added and that were handled as new: what they were
  // reported with was read after every change the batch holds, so a later
  // change record of theirs in the batch has nothing to add. In a burst each
  // new file has one, and each cost a look at the item.
  std::unordered_set<std::u16string> added;
  std::vector<std::u16string> vanished;
  int32_t count = 0;
};

// `plain` tells that no move or removal waits for its second half.
void HandleRecord(DirectoryWatcher& watcher, const ChangeRecord& record, const ChangeRecord* next, bool plain,
                  RecordRun& run, std::vector<std::u16string>& vanished) {
  Engine& engine = watcher.engine();
  if (record.Action == platform::FILE_ACTION_MODIFIED && !run.added.empty() &&
      run.added.count(RelativePathOf(record))) {
    ++run.count;
    return;
  }
  // A rename or a removal may move another item to a name seen added.
  if (record.Action != platform::FILE_ACTION_ADDED && record.Action != platform::FILE_ACTION_MODIFIED)
    run.added.clear();
  bool locked = false;
  const bool plain_add = record.Action == platform::FILE_ACTION_ADDED && plain &&
                         !engine.settings.track_office_lock_files.load() &&
                         !(engine.metadata_cache.GetLocked(RelativePathOf(record), &locked) && locked);
  const int32_t result = ProcessRecord(watcher, record, next, vanished);
  // Only an item free before and after, and now known: a record ignored
  // while the engine worked on the item is followed by ones that must
  // still be handled.
  if (plain_add && result == 0) {
    const std::u16string rel = RelativePathOf(record);
    CacheItem known;
    if (engine.metadata_cache.Lookup(rel, &known, nullptr) && !known.Locked) run.added.insert(rel);
  }
  if (result != 0 && result != kErrPending) {
    LogF(watcher.sink(), kLogVerbose, u"Processing directory changes #%d failed. Error code: 0x%x", run.count,
         static_cast<uint32_t>(result));
    // A retry answer is no failure: the retry queue fires the event again.
    if (engine.events && result != kErrRetry) engine.events->FireError(result, ResultMessage(result));
  }
  ++run.count;
}

// A record the lanes may take: an addition or a change, which touches only
// its own item and what is below it.
bool LaneRecord(const ChangeRecord& record) {
  return (record.Action == platform::FILE_ACTION_ADDED || record.Action == platform::FILE_ACTION_MODIFIED) &&
         !platform::HoldsUnrepresentableName(RelativePathOf(record));
}

// What keeps records in one lane, in order: the first folder of the path,
// so that a folder is reported before what was made inside it. ASCII case
// is ignored, as Windows ignores it.
std::u16string TopFolderOf(const ChangeRecord& record) {
  const size_t length = record.FileNameLength / sizeof(char16_t);
  std::u16string top;
  for (size_t i = 0; i < length && record.FileName[i] != u'\\'; ++i) {
    const char16_t c = record.FileName[i];
    top.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c);
  }
  return top;
}

// Below this many records lanes cost more than they save.
constexpr size_t kLaneMinimum = 8;
// A burst of new folders is looked through only when a removal asks, and
// then only this many of them.
constexpr size_t kMostFoldersNamed = 64;

}  // namespace

int32_t ProcessChangeBatch(DirectoryWatcher& watcher, const std::vector<uint8_t>& buffer) {
  Engine& engine = watcher.engine();
  const std::vector<const ChangeRecord*> records = SplitChangeRecords(buffer);
  ChangeState& state = watcher.change_state();
  // The folders made before this batch's records were read hold what moved
  // into them by then; a later batch looks again.
  state.new_folders_looked_through = false;
  state.moved_into_new_folders.clear();
  state.folders_named.clear();
  for (const ChangeRecord* record : records)
    if ((record->Action == platform::FILE_ACTION_ADDED || record->Action == platform::FILE_ACTION_RENAMED_NEW_NAME) &&
        (record->FileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) && state.folders_named.size() < kMostFoldersNamed)
      state.folders_named.push_back(RelativePathOf(*record));
  RecordLanes& lanes = watcher.record_lanes();
  const bool lock_files = engine.settings.track_office_lock_files.load() != 0;
  RecordRun run;
  for (size_t i = 0; i < records.size(); ++i) {
    if (watcher.Stopping()) break;
    const bool plain = !state.move_pending && state.saved_remove.empty();
    size_t end = i;
    // An added item ends a displacement, which only the serial order may.
    if (plain && !lock_files && lanes.count() > 1 && state.displaced.empty())
      while (end < records.size() && LaneRecord(*records[end])) ++end;
    if (end - i < kLaneMinimum) {
      HandleRecord(watcher, *records[i], i + 1 < records.size() ? records[i + 1] : nullptr, plain, run,
                   state.vanished);
      continue;
    }
    // Additions and changes of different top folders go side by side; the
    // records of one folder stay in order in one lane. Each lane takes the
    // next folder when done with one, so that a large folder does not leave
    // the others idle.
    std::vector<std::vector<size_t>> groups;
    std::unordered_map<std::u16string, size_t> group_of;
    for (size_t k = i; k < end; ++k) {
      const auto [it, made] = group_of.emplace(TopFolderOf(*records[k]), groups.size());
      if (made) groups.emplace_back();
      groups[it->second].push_back(k);
    }
    std::atomic<size_t> next_group{0};
    std::vector<RecordRun> runs(lanes.count());
    lanes.Run([&](size_t lane) {
      for (size_t g = next_group++; g < groups.size() && !watcher.Stopping(); g = next_group++)
        for (const size_t k : groups[g])
          HandleRecord(watcher, *records[k], k + 1 < records.size() ? records[k + 1] : nullptr, true, runs[lane],
                       runs[lane].vanished);
    });
    run.added.clear();
    for (RecordRun& lane : runs) {
      run.count += lane.count;
      for (const std::u16string& rel : lane.vanished) NoteVanished(state.vanished, rel);
    }
    i = end - 1;
  }
  LogF(watcher.sink(), kLogVerbose, u"Processing directory changes finished for %d items", run.count);
  return 0;
}

int32_t ProcessChange(DirectoryWatcher& watcher, const ChangeRecord& record, const ChangeRecord* next) {
  return ProcessRecord(watcher, record, next, watcher.change_state().vanished);
}

namespace {

int32_t ProcessRecord(DirectoryWatcher& watcher, const ChangeRecord& record, const ChangeRecord* next,
                      std::vector<std::u16string>& vanished) {
  Engine& engine = watcher.engine();
  if (watcher.Stopping() || engine.placeholder_manager == nullptr) return 0;
  LogSink* sink = watcher.sink();
  ChangeState& state = watcher.change_state();
  const std::u16string rel = RelativePathOf(record);
  const std::u16string full = watcher.path() + rel;
  LogF(sink, kLogVerbose, u"Processing changes for '%s', file action: %s", full, FileActionName(record.Action));

  if (engine.settings.track_office_lock_files.load() && HandleLockFile(engine, rel, record)) {
    LogF(sink, kLogVerbose, u"Lock file detected and handled: '%s'", full);
    return 0;
  }
  bool locked = false;
  if (engine.metadata_cache.GetLocked(rel, &locked) && IgnoredAsLocked(engine, locked, full)) {
    // Held for the host's own change: this may be the record of the item its
    // call is making, and removals after it may be of that item. A removal
    // of the name still waiting for its pair came before it.
    const ChangeRecord* saved = SavedRemove(watcher);
    if (record.Action == platform::FILE_ACTION_ADDED && (saved == nullptr || RelativePathOf(*saved) != rel))
      engine.unseen_creations.Seen(rel, record.FileId);
    if (record.Action == platform::FILE_ACTION_RENAMED_NEW_NAME || state.move_pending) {
      // The host's own rename onto an item it holds uses up its mark here,
      // or the mark would swallow a later rename of the old name.
      if (!state.old_name.empty() && !engine.pending.CheckPendingOrRemove(state.old_name, kOpRename, false, rel))
        engine.pending.CheckPendingOrRemove(state.old_name, kOpRename, true, rel);
      state.old_name.clear();
      state.move_pending = false;
    }
    return 0;
  }
  const bool in_cache = !engine.metadata_cache.NoItemInCache(rel);
  LogF(sink, kLogVerbose, u"File is in metadata cache '%s': %s", rel, in_cache ? u"true" : u"false");

  bool completes_move = false;
  if (const ChangeRecord* saved = SavedRemove(watcher)) {
    if (Pairs(watcher, *saved, record)) {
      state.old_name = RelativePathOf(*saved);
      completes_move = true;
    } else {
      const std::u16string saved_rel = RelativePathOf(*saved);
      const int32_t rc = ProcessRemovedAction(watcher, saved_rel, saved->FileAttributes);
      if (rc != 0)
        LogF(sink, kLogVerbose, u"ProcessRemovedAction for '%s' returned error code 0x%x", saved_rel,
             static_cast<uint32_t>(rc));
    }
    state.saved_remove.clear();
  }
  // The record of the host's own item: removals after it may be of that item.
  if (record.Action != platform::FILE_ACTION_REMOVED && record.Action != platform::FILE_ACTION_RENAMED_OLD_NAME)
    engine.unseen_creations.Seen(rel, record.FileId);
  // An item added at a name ends what the name's earlier records meant.
  if (record.Action == platform::FILE_ACTION_ADDED && !state.displaced.empty()) state.displaced.erase(rel);

  if (platform::HoldsUnrepresentableName(rel)) {
    const bool second_half =
        record.Action == platform::FILE_ACTION_RENAMED_NEW_NAME || state.move_pending || completes_move;
    const std::u16string left = second_half ? state.old_name : std::u16string();
    state.old_name.clear();
    state.move_pending = false;
    if (record.Action == platform::FILE_ACTION_REMOVED) {
      state.unrepresentable.erase(rel);
    } else {
      if (state.unrepresentable.size() >= 1024) state.unrepresentable.clear();
      if (state.unrepresentable.insert(rel).second) ReportUnrepresentableName(engine, rel);
    }
    // A known item renamed so leaves what the host can be shown.
    if (!left.empty() && !platform::HoldsUnrepresentableName(left))
      return ReportDelete(engine, left, nullptr, DeleteOf::kCachedItem);
    return 0;
  }

  switch (record.Action) {
    case platform::FILE_ACTION_REMOVED:
      state.move_pending = next != nullptr && Pairs(watcher, record, *next);
      if (state.move_pending) {
        state.old_name = rel;
        return 0;
      }
      if (next != nullptr) return ProcessRemovedAction(watcher, rel, record.FileAttributes);
      {
        // The last record of a batch: the next batch may hold the other half
        // of a move, else the saved-remove task reports it.
        const size_t size = offsetof(ChangeRecord, FileName) + record.FileNameLength;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
        state.saved_remove.assign(bytes, bytes + size);
        auto* copy = reinterpret_cast<ChangeRecord*>(state.saved_remove.data());
        copy->NextEntryOffset = 0;
      }
      return 0;
    case platform::FILE_ACTION_RENAMED_OLD_NAME:
      state.old_name = rel;
      return 0;
    default:
      break;
  }
  if (record.Action == platform::FILE_ACTION_RENAMED_NEW_NAME || state.move_pending || completes_move) {
    const int32_t result = ProcessRenameAction(watcher, record, rel);
    if (result == 0 || result == kErrPending)
      LogF(sink, kLogVerbose, u"ProcessRenameAction succeed for '%s' returned error code 0x%x", full,
           static_cast<uint32_t>(result));
    else
      LogF(sink, kLogVerbose, u"ProcessRenameAction for '%s' returned error code 0x%x", full,
           static_cast<uint32_t>(result));
    return result;
  }
  if (record.Action != platform::FILE_ACTION_ADDED && record.Action != platform::FILE_ACTION_MODIFIED) return 0;
  if (UnchangedSinceReported(engine, rel, full, record)) {
    LogF(sink, kLogVerbose, u"No change of '%s' since it was last reported", rel);
    return 0;
  }
  if (IsSymbolicLinkAt(full)) {
    LogF(sink, kLogVerbose, u"Symbolic link skipped: '%s'", full);
    return 0;
  }

  const LocalView view = ReadLocalView(engine, rel, full);
  if (IgnoredAsLocked(engine, view.locked, full)) return 0;
  const int read = LogReadResult(engine, full, view.read_error);
  if (read == 1) {
    if (!view.known) NoteVanished(vanished, rel);
    return 0;
  }
  if (read < 0) return kErrOsCallFailed;
  const LocalItemValues& values = view.values;
  // The record names the item that had the name when it changed; another
  // stands there now (renamed over it, say), whose own records come later.
  // Taken for that one, the record would report it, as new or as the known
  // item's change, before its own rename is seen.
  if (record.FileId != 0 && values.file_id > 0 && values.file_id != record.FileId) {
    LogF(sink, kLogVerbose, u"'%s' holds another item than its record's, which left the name: its own records follow",
         rel);
    return 0;
  }

  // Only placeholders can be marked excluded: with no rule that could match,
  // a plain item needs no look at its exclusion state.
  const ExcludedState excluded = !values.placeholder && NoExclusionRuleFor(engine, record.FileAttributes)
                                     ? ExcludedState::kDoNothing
                                     : ExclusionFor(engine, rel, record.FileAttributes, true);
  if (excluded == ExcludedState::kSkip) return 0;
  if (excluded == ExcludedState::kNewlyExcluded) {
    if (!view.known || static_cast<int32_t>(view.cached.Attributes) == values.attributes) return 0;
    engine.metadata_cache.UpdateProperties(rel, values.attributes, values.size, values.creation_time,
                                           values.last_access_time, values.last_write_time);
    Task* task = engine.tasks.CreateTask(rel, OP_WRITE_DATA, nullptr);
    if (task == nullptr) return 0;
    task->LocalPath = full;
    const int64_t task_id = engine.tasks.RegisterTask(task);
    LogF(sink, kLogVerbose, u"Calling UpdateItem event for newly excluded '%s'", rel);
    int32_t answer = 0;
    FireUpdateWithRetry(engine, *task, rel, values.folder, kFlagAttributes,
                        values.attributes & ~static_cast<int32_t>(kItemAttributeFolder), values.size,
                        values.creation_time, values.last_access_time, values.last_write_time, answer);
    task->LeaveHandler();
    const bool keep = answer == kErrPending;
    if (keep) task->StartTime.store(NowMs());
    engine.tasks.ReleaseTask(task);
    if (!keep) engine.tasks.RemoveTask(nullptr, task_id, false);
    return 0;
  }

  const uint32_t action =
      excluded == ExcludedState::kIncluded ? platform::FILE_ACTION_ADDED : record.Action;
  if (LogEnabled(kLogVerbose))
    LogF(sink, kLogVerbose, u"New file attributes: '%s', attributes: '%s'", full,
         ItemAttributesText(values.attributes));
  // The item the cache knows by this name is being renamed away, and the
  // host has not answered yet: taken, the rename leaves nothing the host has
  // here, and an item made at the name since is new to it.
  bool known = in_cache;
  const CacheItem* cached = view.known ? &view.cached : nullptr;
  CacheItem after_answer;
  if (action == platform::FILE_ACTION_ADDED && known && RenameFromUnanswered(engine, rel)) {
    AwaitAnswerAt(engine, rel, true);
    known = engine.metadata_cache.Lookup(rel, &after_answer, nullptr);
    cached = known ? &after_answer : nullptr;
  }
  if (action == platform::FILE_ACTION_ADDED && !known) {
    // Read from the item itself: only a placeholder can be one to adopt, or
    // a known item moved; a plain file (each of a burst) is new, and only
    // its own path is reported.
    if (!values.placeholder) {
      PathLockItem report_lock(engine.item_reports, rel);
      // A rescan may have reported it since.
      if (engine.metadata_cache.NoItemInCache(rel))
        return PathExists(full) ? ReportAsNew(engine, &watcher, rel, full, values) : 0;
    } else {
      PathLockAll report_lock(engine.item_reports);
      if (engine.metadata_cache.NoItemInCache(rel)) {
        if (!PathExists(full)) return 0;
        if (!AdoptKnownPlaceholder(engine, rel, full, values))
          return ReportNewOrMoved(engine, &watcher, rel, full, values);
      }
    }
  }
  return UpdateKnownItem(engine, &watcher, rel, full, values, cached);
}

}  // namespace

int32_t UpdateLocalItem(Engine& engine, DirectoryWatcher* watcher, const std::u16string& rel,
                        const std::u16string& full, const LocalItemValues& values) {
  CacheItem cached;
  bool known = false;
  {
    PathLockItem lock(engine.own_changes, rel);
    known = engine.metadata_cache.Lookup(rel, &cached, nullptr);
  }
  if (known && IgnoredAsLocked(engine, cached.Locked, full)) return 0;
  return UpdateKnownItem(engine, watcher, rel, full, values, known ? &cached : nullptr);
}

namespace {

bool SameValues(const CacheItem& item, const LocalItemValues& values) {
  return static_cast<int32_t>(item.Attributes) == values.attributes && item.Size == values.size &&
         item.CreationTime == static_cast<uint64_t>(values.creation_time) &&
         item.LastWriteTime == static_cast<uint64_t>(values.last_write_time);
}

// The records and a rescan may find one change at the same time, each
// against its own copy of the cache entry: the first to move the entry to
// the new values reports the change, the other finds it reported.
bool ClaimCacheUpdate(Engine& engine, const std::u16string& rel, const CacheItem& seen,
                      const LocalItemValues& values) {
  PathLockItem lock(engine.own_changes, rel);
  CacheItem now;
  if (engine.metadata_cache.Lookup(rel, &now, nullptr) && !SameValues(seen, values) && SameValues(now, values))
    return false;
  engine.metadata_cache.UpdateProperties(rel, values.attributes, values.size, values.creation_time,
                                         values.last_access_time, values.last_write_time);
  return true;
}

// An item the cache does not know: reported as new (or as a known item
// moved), or taken back as the host's, when `update` is left set and its
// update is still to be looked at.
int32_t ReportUnknownItem(Engine& engine, DirectoryWatcher* watcher, const std::u16string& rel,
                          const std::u16string& full, const LocalItemValues& values, bool& update)
    REQUIRES(engine.item_reports) {
  update = false;
  // A rescan may have reported it since.
  if (engine.metadata_cache.NoItemInCache(rel)) {
    if (!PathExists(full)) return 0;
    if (!AdoptKnownPlaceholder(engine, rel, full, values)) return ReportNewOrMoved(engine, watcher, rel, full, values);
  }
  update = true;
  return 0;
}

int32_t UpdateKnownItem(Engine& engine, DirectoryWatcher* watcher, const std::u16string& rel,
                        const std::u16string& full, const LocalItemValues& values, const CacheItem* known) {
  if (known == nullptr) {
    bool update = false;
    int32_t result = 0;
    {
      PathLockAll report_lock(engine.item_reports);
      result = ReportUnknownItem(engine, watcher, rel, full, values, update);
    }
    return update ? UpdateLocalItem(engine, watcher, rel, full, values) : result;
  }
  // Its create is on its way to the host again (a retry): once answered,
  // this change is the created file's update, not one more create.
  CacheItem answered;
  if (known->CreateFailed && AwaitCreateAnswerAt(engine, rel)) {
    bool still_known = false;
    {
      PathLockItem lock(engine.own_changes, rel);
      still_known = engine.metadata_cache.Lookup(rel, &answered, nullptr);
    }
    if (!still_known) return UpdateKnownItem(engine, watcher, rel, full, values, nullptr);
    known = &answered;
  }
  if (known->CreateFailed) {
    // Decided under the report lock, which a queued create of the item holds
    // while the host is offered it: either that create is still queued, and
    // the report below waits for it, or it has been answered and the entry
    // tells how. Decided from an entry read before, both told the item as new.
    bool update = false;
    bool taken = false;
    int32_t result = 0;
    {
      PathLockAll report_lock(engine.item_reports);
      bool found = false;
      {
        PathLockItem lock(engine.own_changes, rel);
        found = engine.metadata_cache.Lookup(rel, &answered, nullptr);
      }
      taken = found && !answered.CreateFailed;
      if (!taken) {
        // Content written since the refusal is a change the host has never seen.
        if (found && LeftAsRefused(engine, rel, answered, values)) return 0;
        if (found) engine.metadata_cache.Remove(rel, false);
        result = ReportUnknownItem(engine, watcher, rel, full, values, update);
      }
    }
    if (taken) return UpdateCachedItem(engine, rel, full, values, answered);
    return update ? UpdateLocalItem(engine, watcher, rel, full, values) : result;
  }
  return UpdateCachedItem(engine, rel, full, values, *known);
}

int32_t UpdateCachedItem(Engine& engine, const std::u16string& rel, const std::u16string& full,
                         const LocalItemValues& values, const CacheItem& cached) {
  LogSink* sink = engine.diag.log_sink();
  PlaceholderManager* manager = engine.placeholder_manager.get();
  const platform::CF_PLACEHOLDER_STATE ph_state = PlaceholderStateAt(engine, full);
  const bool placeholder = IsPlaceholderState(ph_state);
  const bool fully_present = placeholder && (ph_state & 0x30) == 0;

  int32_t flags = 0;
  if (static_cast<int32_t>(cached.Attributes) != values.attributes) flags |= kFlagAttributes;
  if (cached.CreationTime != static_cast<uint64_t>(values.creation_time)) flags |= kFlagCreationTime;
  if (cached.LastAccessTime != static_cast<uint64_t>(values.last_access_time)) flags |= kFlagLastAccessTime;
  if (cached.LastWriteTime != static_cast<uint64_t>(values.last_write_time)) flags |= kFlagLastWriteTime;
  const bool content_changed =
      cached.Size != values.size || cached.LastWriteTime < static_cast<uint64_t>(values.last_write_time);
  // A program's change takes a placeholder out of sync at the platform. One
  // still in sync, with its size and attributes as known, had only its
  // times moved by the platform's own transfer: some systems stamp the file
  // while they write the fetched bytes and put its time back after.
  const bool times_only = (flags & ~(kFlagLastWriteTime | kFlagLastAccessTime)) == 0;
  if (!values.folder && placeholder && (ph_state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) &&
      cached.Size == values.size && times_only) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s': the platform still has it in sync", rel);
    return 0;
  }

  int32_t result = 0;
  if (!values.folder) {
    if (fully_present && content_changed) flags |= kFlagContent;
    // File times come from a clock tick of a few milliseconds on some
    // systems, so a truncation and the write after it can share one write
    // time: the new size alone is still a change the host has to hear of.
    if (content_changed && cached.Size != values.size && flags == 0) flags |= kFlagLastWriteTime;
    const bool now_unpinned = (values.attributes & kItemUnpinned) && !(cached.Attributes & kItemUnpinned);
    const bool now_pinned = (values.attributes & kItemPinned) && !(cached.Attributes & kItemPinned);
    if (manager != nullptr && (now_unpinned || now_pinned)) result = PinChange(engine, rel, full, now_pinned);
  }
  bool converted = false;
  if (!placeholder && values.placeholder) {
    // A placeholder when its values were read, a plain file now: another
    // file took the name since (an editor's save renamed over it), and its
    // own records follow. Made a placeholder here with the values read, it
    // would pass for the host's version, in sync, and never be told.
    LogF(sink, kLogVerbose, u"'%s' was replaced since its values were read: its own records follow", rel);
    return 0;
  }
  if (!placeholder && !PathExists(full)) {
    // Gone since its record (no placeholder state to read either): the
    // records that follow tell of it, and the host keeps what it has until
    // then, content and all.
    LogF(sink, kLogVerbose, u"'%s' is gone since its record: not reported", rel);
    return 0;
  }
  if (!placeholder && !HasDeleteTask(engine, rel)) {
    converted = true;
    const bool nothing_to_report = !content_changed && (flags & ~kFlagLastAccessTime) == 0;
    result = ConvertLocalItem(engine, rel, values.attributes, values.size, values.creation_time,
                              values.last_access_time, values.last_write_time, nothing_to_report);
    // Gone since its record: the records that follow tell of it.
    if (result == kErrLocalItemNotFound) return 0;
    if (!values.folder && content_changed) flags |= kFlagContent;
  }
  if (result != 0) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s' because Result is 0x%x", rel,
         static_cast<uint32_t>(result));
    return result;
  }
  if (flags == 0) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s' because UpdateFlags are 0", rel);
    return 0;
  }
  // A read moves the last access time wherever the system keeps it: alone
  // it is no change of the item, and reporting it would send every read to
  // the host as an update and take the item out of sync until answered.
  if (flags == kFlagLastAccessTime) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s' because only its last access time changed", rel);
    return 0;
  }
  if (converted) {
    engine.metadata_cache.UpdateProperties(rel, values.attributes, values.size, values.creation_time,
                                           values.last_access_time, values.last_write_time);
  } else if (!ClaimCacheUpdate(engine, rel, cached, values)) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s' because the change was already reported", rel);
    return 0;
  }
  if (FoldIntoQueuedCreate(engine, rel, values.folder, static_cast<uint32_t>(values.attributes), values.size,
                           values.creation_time, values.last_access_time, values.last_write_time)) {
    LogF(sink, kLogVerbose, u"Not firing UpdateItem for '%s': its create waits for a retry and carries the change",
         rel);
    return 0;
  }
  Task* task = engine.tasks.CreateTask(rel, OP_WRITE_DATA, nullptr);
  if (task == nullptr) return engine.diag.RecordCode(kErrOutOfMemory);
  task->LocalPath = full;
  // A file whose content the host has not taken stays so after an update
  // that does not carry it (only part of the data is here, say).
  const bool content_not_taken = !values.folder && placeholder && !(flags & kFlagContent) &&
                                 !(ph_state & platform::CF_PLACEHOLDER_STATE_IN_SYNC);
  NoteReportedVersion(engine, *task, values.folder, content_not_taken ? kContentNotTaken : values.size,
                      values.last_write_time);
  const int64_t task_id = engine.tasks.RegisterTask(task);
  int32_t rc = DoSetPlaceholderSyncState(engine, rel, false);
  LogF(sink, kLogVerbose, u"Set placeholder synced state to false for '%s'. Result: %x", rel,
       static_cast<uint32_t>(rc));
  LogF(sink, kLogVerbose, u"Calling UpdateItem event for '%s'", rel);
  int32_t answer = 0;
  FireUpdateWithRetry(engine, *task, rel, values.folder, flags,
                      values.attributes & ~static_cast<int32_t>(kItemAttributeFolder), values.size,
                      values.creation_time, values.last_access_time, values.last_write_time, answer);
  task->LeaveHandler();
  if (answer == kErrPending) {
    LogF(sink, kLogVerbose, u"Update event handler returned Pending status for '%s'", rel);
  } else {
    LogF(sink, kLogVerbose, u"Update event handler finished for '%s'. Result: %x", rel,
         static_cast<uint32_t>(answer));
    if (answer != kErrRetry && engine.settings.windows_update_icon_on_update_errors.load())
      SetItemErrorMark(engine, full, answer != 0);
  }
  bool keep = false;
  result = answer;
  if (answer == kErrPending && engine.state.deactivating.load() == 0) {
    task->StartTime.store(NowMs());
    keep = true;
    result = 0;
  }
  // Read before the release: only the registration keeps the task alive now.
  const auto reported_size = task->ReportedSize;
  const auto reported_write_time = task->ReportedWriteTime;
  const auto reported_file_id = task->ReportedFileId;
  const auto reported_usn = task->ReportedUsn;
  engine.tasks.ReleaseTask(task);
  // New content the event could not carry (the file is not all on disk)
  // is still only here, whatever the host answered.
  const bool content_unsent = placeholder && !values.folder && content_changed && (flags & kFlagContent) == 0;
  if (!keep) {
    if (answer == 0 && content_unsent) {
      LogF(sink, kLogVerbose, u"'%s' stays not in sync: its new content is not all on disk to be sent", rel);
    } else if (answer == 0 && (flags & kFlagContent) && RenameOntoItOutstanding(engine, rel)) {
      LogF(sink, kLogVerbose, u"'%s' stays not in sync: a rename onto it is still to be taken", rel);
    } else if (answer == 0 && HandVersionToUnansweredCreate(engine, rel, reported_size, reported_write_time,
                                                            reported_file_id, reported_usn)) {
      result = 0;
    } else if (answer == 0) {
      result = MarkTakenVersionInSync(engine, rel, reported_size, reported_write_time, reported_file_id,
                                      reported_usn);
      LogF(sink, kLogVerbose, u"Set placeholder synced state to true for '%s'. Result: %x", rel,
           static_cast<uint32_t>(result));
    }
    engine.tasks.RemoveTask(nullptr, task_id, false);
  }
  return result;
}

// The placeholder at `rel` is the item the cache knows there, unchanged:
// its own record was handled before this older removal (the host's item
// removed, and the user's made at the name, before the watcher got there),
// or it was moved away and back. Told of a delete, the host would remove
// what stands here. A plain file of the same values is another, new item.
bool KnownItemStandsAt(Engine& engine, const std::u16string& rel, const std::u16string& full) {
  CacheItem cached;
  LocalItemValues values;
  return engine.metadata_cache.Lookup(rel, &cached, nullptr) && IsPlaceholderState(PlaceholderStateAt(engine, full)) &&
         ReadLocalValues(full, values) == 0 && SameValues(cached, values);
}

// A record of an item inside a folder the engine has moved back since names
// the place the folder had been moved to, which the cache never knew: the
// item is known (or, for the new name of a rename, is) where the folder
// went back.
std::u16string NameInReturnedFolder(DirectoryWatcher& watcher, const std::u16string& rel, bool new_name = false) {
  Engine& engine = watcher.engine();
  if (rel.empty() || engine.metadata_cache.Lookup(rel, nullptr, nullptr)) return rel;
  std::u16string back = engine.returned_folders.WhereItWent(rel);
  // A folder made at that place since holds items of its own.
  if (back.empty() || PathExists(watcher.path() + rel.substr(0, rel.rfind(u'\\'))) ||
      !(new_name ? PathExists(watcher.path() + back) : engine.metadata_cache.Lookup(back, nullptr, nullptr)))
    return rel;
  LogF(watcher.sink(), kLogVerbose, u"'%s' is in a folder that went back since: it is '%s'", rel, back);
  return back;
}

}  // namespace

int32_t ProcessRemovedAction(DirectoryWatcher& watcher, const std::u16string& record_rel,
                             uint32_t platform_attributes) {
  Engine& engine = watcher.engine();
  const std::u16string rel = NameInReturnedFolder(watcher, record_rel);
  const ExcludedState excluded = ExclusionFor(engine, rel, platform_attributes, true);
  if (excluded == ExcludedState::kSkip || excluded == ExcludedState::kNewlyExcluded) return 0;
  // The host's own move into another folder shows as a removal here (what
  // arrived there is the host's item, which no rename pairs with): it uses
  // up the move's mark, which would otherwise take the next rename of a new
  // item of this name for the host's.
  const bool is_dir = (platform_attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (engine.pending.CheckPendingOrRemove(rel, kOpRename, is_dir)) {
    LogF(watcher.sink(), kLogVerbose, u"'%s' was moved away by the host: not reported", rel);
    return 0;
  }
  // The host made an item of this name whose own record is still to come:
  // what went is an older item, not the host's (which may have moved on
  // since, out of sight of any check of the name).
  // The item the user had moved here is what went: the host knows it by
  // the name it was moved from.
  ChangeState& state = watcher.change_state();
  if (const auto it = state.displaced.find(rel); it != state.displaced.end()) {
    const std::u16string source = it->second;
    state.displaced.erase(it);
    LogF(watcher.sink(), kLogVerbose, u"'%s', moved to '%s' before the host made an item there, was removed", source,
         rel);
    return ReportDelete(engine, source, nullptr, DeleteOf::kCachedItem);
  }
  if (KnownItemStandsAt(engine, rel, watcher.path() + rel)) {
    LogF(watcher.sink(), kLogVerbose, u"'%s' stands as the cache knows it: the removal was of an item before it", rel);
    return 0;
  }
  const bool made_after = engine.unseen_creations.Contains(rel) || engine.pending.RenameInto(rel);
  if (made_after || engine.HostMadeItemAt(rel)) {
    LogF(watcher.sink(), kLogVerbose,
         made_after ? u"'%s' was removed before the host made an item of that name: not reported"
                    : u"'%s' was made again by the host since its removal: not reported",
         rel);
    return 0;
  }
  // Moved into a folder not watched yet: the scan reports the move, and
  // the item is no longer known here; or the folder is still to be reported,
  // and the move with it.
  if (!engine.metadata_cache.NoItemInCache(rel)) {
    const MovedIntoNewFolder moved = FindMovedIntoNewFolder(watcher, rel);
    if (moved == MovedIntoNewFolder::kToBeReported ||
        (moved == MovedIntoNewFolder::kScanned && engine.metadata_cache.NoItemInCache(rel)))
      return 0;
  }
  return ReportDelete(engine, rel, nullptr, DeleteOf::kCachedItem);
}

namespace {

// Forgets the vanished items below `folder`; true when there were any.
bool TakeVanishedUnder(ChangeState& state, const std::u16string& folder) {
  const size_t before = state.vanished.size();
  std::erase_if(state.vanished, [&](const std::u16string& path) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == u'\\';
  });
  return state.vanished.size() != before;
}

}  // namespace

namespace {

// A folder above `rel` is one the host made whose own record the watcher
// has not reached: records before that one name an older folder of the name.
bool HostFolderMadeAbove(Engine& engine, std::u16string_view rel) {
  for (size_t end = rel.find(u'\\', 1); end != std::u16string_view::npos; end = rel.find(u'\\', end + 1))
    if (engine.unseen_creations.Contains(rel.substr(0, end))) return true;
  return false;
}

// The records of a rename handled late: the item the host knows by the old
// name is there again (made there since, by the host), so what moved is
// another item, new to the host.
bool HostItemStillAt(Engine& engine, const std::u16string& root, const std::u16string& old_name,
                     const std::u16string& rel) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr || EqualsIgnoringAsciiCase(old_name, rel)) return false;
  const std::u16string full = root + old_name;
  std::u16string item_id;
  return PathExists(full) && manager->GetItemIdByPath(full.c_str(), item_id) && item_id == old_name;
}

}  // namespace

bool HasRenameTask(Engine& engine, const std::u16string& relative_path) {
  TaskRegistry::Lock lock(engine.tasks);
  Task* task = engine.tasks.AcquireByKeyLocked(relative_path, OP_RENAME);
  if (task == nullptr) return false;
  engine.tasks.ReleaseLocked(task);
  return true;
}

namespace {

// The user's item `source` is at `rel`, a name the host took meanwhile.
void NoteDisplaced(ChangeState& state, const std::u16string& rel, const std::u16string& source) {
  if (state.displaced.size() >= 64) state.displaced.erase(state.displaced.begin());
  state.displaced[rel] = source;
}

// A file at `full` that was never made a placeholder, so never reported.
bool MovedUnseen(Engine& engine, const std::u16string& full) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr || !PathExists(full)) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) == 0;
}

// Moved into folders made so shortly before that the platform paired the
// move before their own walk reported them: the host must have a folder
// before an item is moved into it, or it has nowhere to put the item.
void ReportUnknownFoldersAbove(Engine& engine, DirectoryWatcher& watcher, const std::u16string& rel)
    REQUIRES(engine.item_reports) {
  for (size_t slash = rel.find(u'\\', 1); slash != std::u16string::npos; slash = rel.find(u'\\', slash + 1)) {
    const std::u16string folder = rel.substr(0, slash);
    if (!engine.metadata_cache.NoItemInCache(folder)) continue;
    // Moved there itself, its rename still waiting for the host (or its
    // create queued): the host knows it, or is to, and what moves into it
    // waits for that; told as new now, the waiting rename would find its
    // name taken and become a delete of the folder and all it holds.
    if (HasRenameTask(engine, folder) || !RetryQueueOf(engine).FolderAwaitedBy(rel).empty()) return;
    const std::u16string full = watcher.path() + folder;
    const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
    LocalItemValues values;
    if (attributes == platform::INVALID_FILE_ATTRIBUTES || !(attributes & platform::FILE_ATTRIBUTE_DIRECTORY) ||
        KeptFromHost(engine, folder, attributes) || ReadLocalValues(full, values) != 0)
      return;
    LogF(watcher.sink(), kLogVerbose, u"'%s' is moved into '%s', which the host has not been told of: reported first",
         rel, folder);
    const int32_t result = ReportAsNew(engine, &watcher, folder, full, values);
    if (result != 0 && result != kErrPending) return;
  }
}

}  // namespace

int32_t ProcessRenameAction(DirectoryWatcher& watcher, const ChangeRecord& record,
                            const std::u16string& record_rel) {
  Engine& engine = watcher.engine();
  LogSink* sink = watcher.sink();
  ChangeState& state = watcher.change_state();
  const std::u16string old_name = NameInReturnedFolder(watcher, state.old_name);
  const std::u16string rel = NameInReturnedFolder(watcher, record_rel, true);
  const std::u16string full = watcher.path() + rel;
  // Whatever happens below, this pair is done: a later record must never be
  // taken for its second half.
  state.old_name.clear();
  state.move_pending = false;

  // A rescan may report the same rename when it finds the item under its
  // new name first; whoever holds this lock reports it, the other finds the
  // cache moved already.
  PathLockAll report_lock(engine.item_reports);
  // The host's own rename: the method moved the cache entry already (or
  // will), whatever renames of the item the records show after it.
  if (!old_name.empty() && (engine.pending.CheckPendingOrRemove(old_name, kOpRename, false, rel) ||
                            engine.pending.CheckPendingOrRemove(old_name, kOpRename, true, rel))) {
    LogF(sink, kLogVerbose, u"Rename of '%s' to '%s' was made by the host", old_name, rel);
    // The host's item is a placeholder, known at the host's target once its
    // method is done. A plain file at `rel` that the cache does not know is
    // another one, paired with the removal by a file id used again: new to
    // the host.
    if (IsPlaceholderState(PlaceholderStateAt(engine, full)) || !engine.metadata_cache.NoItemInCache(rel) ||
        !PathExists(full) || IsSymbolicLinkAt(full))
      return 0;
    LogF(sink, kLogVerbose, u"'%s' is not the item the host renamed: reporting it as new", rel);
    report_lock.Unlock();
    LocalItemValues values;
    if (ReadLocalValues(full, values) != 0) return 0;
    return UpdateKnownItem(engine, &watcher, rel, full, values, nullptr);
  }
  CacheItem cached;
  // The host's own item moving shows its id, read when the record was taken
  // in; a name left again before then shows none.
  const bool hosts_item_moving = !old_name.empty() && record.FileId > 0 &&
                                 engine.unseen_creations.Contains(old_name) &&
                                 !engine.unseen_creations.HeldByAnother(old_name, record.FileId);
  // The host's item at the old name, made after this rename or still
  // there, is not what moved; the record of the host's item moving is seen.
  if (!old_name.empty()) engine.unseen_creations.Seen(old_name, record.FileId);
  if (!old_name.empty() && !hosts_item_moving) {
    if (const auto it = state.displaced.find(old_name); it != state.displaced.end()) {
      // Moved on from a name the host took meanwhile: until the host's own
      // record of that name, its records mean the user's item, which the
      // host knows by the name it had before.
      const std::u16string source = it->second;
      state.displaced.erase(it);
      if (!PathExists(full) || engine.unseen_creations.Contains(rel) || engine.HostMadeItemAt(rel)) {
        NoteDisplaced(state, rel, source);
        return 0;
      }
      if (engine.metadata_cache.Lookup(source, &cached, nullptr)) {
        LogF(sink, kLogVerbose, u"'%s' moved on from '%s', which the host took meanwhile", source, old_name);
        return ReportLocalRename(engine, source, rel, full, cached, record.FileId);
      }
    }
  }
  // Until the record of the host's item made at the old name is reached,
  // a move from that name is of an item older than it, as a removal is:
  // the host's item cannot leave a name before its own record of it. That
  // older item moved on may show no id at all.
  auto known_at_old_name = [&] {
    return !old_name.empty() && engine.metadata_cache.Lookup(old_name, &cached, nullptr) &&
           (hosts_item_moving || !engine.unseen_creations.Contains(old_name)) &&
           !HostItemStillAt(engine, watcher.path(), old_name, rel);
  };
  bool old_cached = known_at_old_name();
  if (old_cached && HasDeleteTask(engine, old_name)) {
    // Its delete waits for the host: taken, what moved is a newer item made
    // at the name since, which the host never had.
    report_lock.Unlock();
    AwaitAnswerAt(engine, old_name);
    report_lock.Lock();
    old_cached = known_at_old_name();
  }
  if (!old_cached && !old_name.empty() && HasRenameTask(engine, old_name)) {
    // Renamed on before the host answered the rename that made the old
    // name: once it does, the item is known there (or the host refused).
    report_lock.Unlock();
    AwaitAnswerAt(engine, old_name);
    report_lock.Lock();
    old_cached = known_at_old_name();
  }
  const uint32_t cached_platform = old_cached ? PlatformAttributesFromItem(static_cast<int32_t>(cached.Attributes)) : 0;
  const ExcludedState excluded = ExclusionFor(engine, rel, cached_platform, false);
  if (excluded == ExcludedState::kSkip || excluded == ExcludedState::kNewlyExcluded) return 0;

  if (old_cached && !cached.IsFolder()) {
    // Moved on from a name that a rename waiting for a retry is to take over
    // (an editor's save the host put off): what moved is that rename's item,
    // which the host still has under its first name, and what the host has
    // at the old name is what the save replaced here. That rename now ends
    // here, and the replaced item is gone.
    const std::u16string first = FollowQueuedRename(engine, old_name, rel);
    if (!first.empty()) {
      LogF(sink, kLogVerbose, u"Queued rename of '%s' now ends at '%s': the item it replaced at '%s' is gone", first,
           rel, old_name);
      report_lock.Unlock();
      return ReportDelete(engine, old_name, nullptr, DeleteOf::kCachedItem);
    }
  }
  bool never_taken = false;
  if (old_cached && engine.settings.event_retry_interval.load() > 0 &&
      RetryQueueOf(engine).Holds(kOpCreate, old_name, cached.IsFolder())) {
    // The host asked to see the item's create again and has not taken it:
    // it has nothing to rename. The item is new to it under this name.
    LogF(sink, kLogVerbose, u"'%s' waits for the host to take its create: '%s' is reported as new", old_name, rel);
    RemoveFromRetryQueue(engine, old_name, cached.IsFolder());
    engine.metadata_cache.Remove(old_name, true);
    never_taken = true;
  } else if (old_cached && cached.CreateFailed && !cached.IsFolder()) {
    // The host refused to create the file: it has nothing to rename, and a
    // late answer to such a rename would move whatever it has at the old
    // name by then. The file is new to it under this name. (A folder it
    // refused may still have taken what was made inside.)
    LogF(sink, kLogVerbose, u"'%s' was never taken by the host: '%s' is reported as new", old_name, rel);
    engine.metadata_cache.Remove(old_name, false);
    never_taken = true;
  }
  if (never_taken) {
    LocalItemValues values;
    if (!PathExists(full) || ReadLocalValues(full, values) != 0) return 0;
    if (engine.metadata_cache.NoItemInCache(rel)) return ReportAsNew(engine, &watcher, rel, full, values);
    // Unless the name is known: the host has the item this one replaced (an
    // editor's save), or this one was reported there before its rename's
    // record came. Only a difference from what the host was told is news.
    report_lock.Unlock();
    FollowRenameWithIdentity(engine, full, old_name, rel);
    return UpdateLocalItem(engine, &watcher, rel, full, values);
  }
  if (!old_cached) {
    // Renamed on while its last rename waits for a retry: the host still has
    // the item under the first name, so that rename now ends here. So it does
    // when the item has moved on since (its folder renamed, say): the records
    // after this one carry the rename on from here.
    const std::u16string first = old_name.empty() ? std::u16string() : FollowQueuedRename(engine, old_name, rel);
    if (!first.empty()) {
      LogF(sink, kLogVerbose, u"Queued rename of '%s' now ends at '%s'", first, rel);
      return 0;
    }
    if (!PathExists(full)) return 0;
    if (HasRenameTask(engine, rel)) {
      LogF(sink, kLogVerbose, u"Rename to '%s' was already reported", rel);
      return 0;
    }
    if (!engine.metadata_cache.NoItemInCache(rel)) {
      // Known under the new name already: a rescan reported this rename,
      // or the item replaced a known one. Only a real difference is news.
      report_lock.Unlock();
      LocalItemValues values;
      if (ReadLocalValues(full, values) != 0) return 0;
      return UpdateLocalItem(engine, &watcher, rel, full, values);
    }
    if (IsSymbolicLinkAt(full)) {
      LogF(sink, kLogVerbose, u"Symbolic link skipped: '%s'", full);
      return 0;
    }
    LocalItemValues values;
    values.attributes = ItemAttributesFromPlatform(record.FileAttributes);
    values.folder = (record.FileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
    values.size = record.FileSize;
    values.creation_time = record.CreationTime;
    values.last_access_time = record.LastAccessTime;
    values.last_write_time = record.LastModificationTime;
    // The old name was never known, but the item may be: its identity
    // names where the host has it.
    int32_t moved = 0;
    if (ReportedAsUnpairedMove(engine, rel, full, values, moved) ||
        ReportedAsQueuedRename(engine, rel, full, values, moved))
      return moved;
    LogF(sink, kLogVerbose, u"Old file is not found in meta cache: '%s'. Reporting new file name as new created file: '%s'",
         old_name, rel);
    // A folder made and filled under another name: its content was never
    // seen under this one.
    return ReportAsNew(engine, &watcher, rel, full, values);
  }
  if (!cached.IsFolder() && PathExists(watcher.path() + old_name) && MovedUnseen(engine, full)) {
    // The old name holds a file again and what moved never became a
    // placeholder: the cache's entry is the file at the old name now (a late
    // record of the first create was handled after this rename), so the
    // moved one is a file the host has never had.
    LogF(sink, kLogVerbose, u"'%s' was made again after its file moved to '%s': reporting that one as new", old_name, rel);
    LocalItemValues values;
    if (ReadLocalValues(full, values) != 0) return 0;
    return ReportAsNew(engine, &watcher, rel, full, values);
  }
  if (engine.unseen_creations.Contains(rel) || engine.HostMadeItemAt(rel)) {
    // The host made an item of its own at the new name before this record
    // was handled (the user's item moved on or went since), even if that item
    // moved on too: a rename would put the user's item over it. The records
    // after this one tell where the item went.
    LogF(sink, kLogVerbose, u"'%s' holds the host's own item, made after '%s' was moved there: not reported over it",
         rel, old_name);
    NoteDisplaced(state, rel, old_name);
    return 0;
  }
  // Moved into a folder the host has not heard of, which moved on or went
  // before this record was read: told now, the rename would name a folder
  // the host does not have, or one the host made at that name since, whose
  // own record is still to come. The item is found by its identity once
  // the user's folder is, under its last name; until then the host has it here.
  const size_t slash = rel.rfind(u'\\');
  if (slash != std::u16string::npos && slash > 0 &&
      ((engine.metadata_cache.NoItemInCache(rel.substr(0, slash)) &&
        !PathExists(watcher.path() + rel.substr(0, slash))) ||
       (!PathExists(full) && HostFolderMadeAbove(engine, rel)))) {
    LogF(sink, kLogVerbose, u"'%s' moved into a new folder that moved on since, as '%s': found with the folder", old_name,
         rel);
    return 0;
  }
  ReportUnknownFoldersAbove(engine, watcher, rel);
  const int32_t result = ReportLocalRename(engine, old_name, rel, full, cached, record.FileId);
  report_lock.Unlock();
  if (result == 0 && cached.IsFolder() && TakeVanishedUnder(state, old_name)) watcher.StartNewFolderCheck(rel);
  return result;
}

namespace {

int32_t ReportChangeAfterRename(Engine& engine, const std::u16string& rel, const std::u16string& full)
    REQUIRES(engine.item_reports) {
  CacheItem entry;
  LocalItemValues values;
  if (!engine.metadata_cache.Lookup(rel, &entry, nullptr) || ReadLocalValues(full, values) != 0) return 0;
  // Moved from an item whose create the host refused, and written since:
  // new to the host, told here under the lock the caller holds (the update
  // below would take it again for that, and wait for ever).
  if (LeftAsRefused(engine, rel, entry, values)) return 0;
  if (entry.CreateFailed) {
    engine.metadata_cache.Remove(rel, false);
    bool update = false;
    const int32_t result = ReportUnknownItem(engine, nullptr, rel, full, values, update);
    if (!update || !engine.metadata_cache.Lookup(rel, &entry, nullptr) || entry.CreateFailed) return result;
  }
  return UpdateCachedItem(engine, rel, full, values, entry);
}

}  // namespace

void AfterRefusedRename(Engine& engine, const std::u16string& old_name, const std::u16string& rel, bool is_dir,
                        int32_t answer) {
  if (answer != 0 && answer != kErrRetry && answer != kErrPending)
    RefusedRename(engine, engine.EffectiveSyncRootPath(), old_name, rel, is_dir, answer);
}

int32_t ReportLocalRename(Engine& engine, const std::u16string& reported_name, const std::u16string& rel,
                          const std::u16string& full, const CacheItem& reported, int64_t moved_file_id) {
  LogSink* sink = engine.diag.log_sink();
  std::u16string old_name = reported_name;
  CacheItem moved_entry;
  bool folder_moved_on = false;
  // A folder above the target waits for the host's answer to its move:
  // refused, the folder went back, and the item with it, to a name this
  // rename does not have; the walk of the folder reports it there. Taken,
  // the host has the item in that folder under its old name, and hears of
  // the rename there, though the folder moved on since (its own record
  // follows).
  const bool waited = AwaitAnswersAbove(engine, rel);
  // The stop cancelled that move (or cut the wait short): the host may still
  // take it late, or never; told now, the rename would name a folder the
  // host may not have. The next start finds the item by its identity.
  if (waited && engine.state.deactivating.load() != 0) {
    LogF(sink, kLogVerbose,
         u"'%s' waits for its folder's move, which the stop left unanswered: the next start reports it", rel);
    return 0;
  }
  if (waited && !PathExists(full)) {
    const size_t slash = rel.rfind(u'\\');
    std::u16string moved = engine.taken_renames.Follow(old_name);
    if (slash == 0 || slash == std::u16string::npos || moved == old_name ||
        !engine.metadata_cache.Lookup(rel.substr(0, slash), nullptr, nullptr) ||
        !engine.metadata_cache.Lookup(moved, &moved_entry, nullptr)) {
      LogF(sink, kLogVerbose, u"'%s' went with its folder since its record: its rename is not reported here", rel);
      return 0;
    }
    LogF(sink, kLogVerbose, u"'%s' moved on with its folder since its record: its rename is told from '%s'", rel,
         moved);
    old_name = std::move(moved);
    folder_moved_on = true;
  }
  const CacheItem& cached = folder_moved_on ? moved_entry : reported;
  const uint32_t cached_platform = PlatformAttributesFromItem(static_cast<int32_t>(cached.Attributes));
  Task* task = engine.tasks.CreateTask(rel, OP_RENAME, nullptr);
  if (task == nullptr) return engine.diag.RecordCode(kErrOutOfMemory);
  task->LocalPath = full;
  task->RenameInfo = std::make_unique<RenameInfo>();
  task->RenameInfo->SourcePath = old_name;
  task->RenameInfo->TargetPath = rel;
  task->RenameInfo->HasSource = true;
  task->RenameInfo->SourceSize = cached.Size;
  task->RenameInfo->SourceCreationTime = cached.CreationTime;
  task->RenameInfo->SourceLastAccessTime = cached.LastAccessTime;
  task->RenameInfo->SourceLastWriteTime = cached.LastWriteTime;
  task->RenameInfo->SourceAttributes = cached.Attributes;
  const platform::CF_PLACEHOLDER_STATE state = PlaceholderStateAt(engine, full);
  // A plain file here is content put over the item (an editor's save) that
  // the host has not taken either. (A folder's own state follows its times,
  // which a rename does not carry either way.)
  const bool in_sync =
      cached.IsFolder() || (IsPlaceholderState(state) && (state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) != 0);
  task->RenameInfo->SourceInSync = in_sync;
  task->RenameInfo->MovedFileId = moved_file_id;
  const int64_t reported_at = task->RenameInfo->ReportedAt;
  const int64_t task_id = engine.tasks.RegisterTask(task);
  int32_t answer = 0;
  FireRenameWithRetry(engine, *task, old_name, rel, cached.IsFolder(), answer);
  task->LeaveHandler();
  if (answer == kErrPending) {
    task->StartTime.store(NowMs());
    engine.tasks.ReleaseTask(task);
    return kErrPending;
  }
  engine.tasks.ReleaseTask(task);
  int32_t result = answer;
  AfterRefusedRename(engine, old_name, rel, cached.IsFolder(), answer);
  bool report_change = false;
  if (answer == 0) {
    // Content put over the file before it moved (an editor's save, a plain
    // file now) may have no record left to tell the host of it: with the
    // watcher behind, its own record found nothing at the old name.
    const bool content_unsent =
        !cached.IsFolder() && (!in_sync || (PathExists(full) && !IsPlaceholderState(PlaceholderStateAt(engine, full))));
    const bool target_known = engine.metadata_cache.Lookup(rel, nullptr, nullptr);
    // The name names the moved item on the host now, not one a rename the
    // host took earlier moved away from it.
    engine.taken_renames.NameUsedAgain(rel);
    bool moved_in_cache = false;
    if (!cached.IsFolder() && RenameLeavesHostItem(engine, old_name, moved_file_id)) {
      engine.metadata_cache.AddNewItemToCache(rel, rel.substr(rel.rfind(u'\\') + 1), cached.Attributes, cached.Size,
                                              cached.CreationTime, cached.LastAccessTime, cached.LastWriteTime);
      moved_in_cache = true;
    } else {
      engine.HostTookItemAway(old_name);
      moved_in_cache = engine.metadata_cache.Rename(old_name, rel);
    }
    if (!moved_in_cache) {
      result = kErrLocalItemNotFound;
    } else if (!PathExists(full) || RenamedItemMovedOn(engine, rel, moved_file_id)) {
      // Its own later records tell where it went; a file here now is another
      // one, not content put over it. What waits for a retry below a folder
      // names it where the host has it now, so that its next move takes it.
      engine.taken_renames.Note(old_name, rel, reported_at);
      if (cached.IsFolder()) FollowQueuedFolderRename(engine, old_name, rel);
    } else if (AnotherItemTookTheName(engine, rel, old_name, cached, target_known)) {
      report_change = content_unsent;
    } else {
      result = UpdateFileInt(engine, rel, static_cast<int32_t>(cached.Attributes), cached.Size,
                             static_cast<int64_t>(cached.CreationTime), static_cast<int64_t>(cached.LastAccessTime),
                             static_cast<int64_t>(cached.LastWriteTime), RenameTakenFlags(in_sync));
      if (result != 0 && !PathExists(full)) {
        // Moved on or deleted since the look above: no failure, as if gone then.
        engine.taken_renames.Note(old_name, rel, reported_at);
        result = 0;
      }
      if (result == 0 && cached.IsFolder()) {
        // An event of an item inside, waiting for a retry, names it where it is now.
        engine.taken_renames.Note(old_name, rel, reported_at);
        FollowQueuedFolderRename(engine, old_name, rel);
        FollowFolderRename(engine, old_name, rel);
      }
      report_change = result == 0 && content_unsent;
      if (result == 0 && PathExists(full)) {
        ExcludedState again = ExcludedState::kDoNothing;
        const int32_t rc = ProcessExcludedState(engine, rel, cached_platform, &again);
        if (rc != 0)
          LogF(sink, kLogFailure, u"Failed to process excluded state for: '%s', error: 0x%x", rel,
               static_cast<uint32_t>(rc));
      }
    }
  }
  // Nothing else would ever finish this task: a retry fires with a task of
  // its own, and a task left here holds up the next Deactivate.
  engine.tasks.RemoveTask(nullptr, task_id, false);
  // After the task: the change's event waits for the rename's answer.
  if (report_change) result = ReportChangeAfterRename(engine, rel, full);
  return result;
}

int32_t ProcessSavedRemoveAction(DirectoryWatcher& watcher) {
  const ChangeRecord* saved = SavedRemove(watcher);
  if (saved == nullptr) return 0;
  const std::u16string rel = RelativePathOf(*saved);
  watcher.change_state().saved_remove.clear();
  const int32_t result = ProcessRemovedAction(watcher, rel, 0);
  if (result == kErrPending)
    LogF(watcher.sink(), kLogVerbose, u"Processing of saved remove action completed with Pending result.");
  else if (result != 0)
    LogF(watcher.sink(), kLogVerbose, u"Processing of saved remove action failed. Error code: 0x%x",
         static_cast<uint32_t>(result));
  return result;
}

}  // namespace corvane
