// Population of folders from the host's listings: ListDirectory asks, ListFile
// and ListFolder answer item by item, and every batch of reported items
// becomes metadata-cache entries and placeholders.
#include "engine/enumeration.h"

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/host_events.h"
#include "engine/item_properties.h"
#include "engine/item_queries.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/retry_wrappers.h"
#include "halvex/corvane.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/own_change.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"
#include "support/sync_root_path.h"

namespace corvane {

namespace {

// As long as an application waits for a folder's listing on Windows.
constexpr int64_t kApplicationListingWaitMs = 60000;

bool Stopping(Engine& engine) { return engine.state.stop_activating.load() != 0; }

void FireErrorEvent(Engine& engine, int32_t code) {
  if (engine.events != nullptr) engine.events->FireError(code, ResultMessage(code));
}

bool EndsWith(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Office's owner files ("~$report.docx") and Access lock files.
bool IsOfficeLockName(std::u16string_view name) {
  return (name.size() >= 2 && name[0] == u'~' && name[1] == u'$') || EndsWith(name, u".laccdb");
}

// Where the host holds a folder at or below one a refused rename stranded
// (empty when none is). Below it, a folder whose identity names a place
// outside the stranded one's host name came in from elsewhere (the user
// moved the stranded folder's own parent into it, say): the host holds it
// there, not under the stranded folder's name.
std::u16string HostNameOfStrandedFolder(Engine& engine, const std::u16string& folder) {
  std::u16string root;
  const std::u16string held_as = engine.stranded.HostPathOf(folder, &root);
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (held_as.empty() || held_as == root || manager == nullptr) return held_as;
  std::u16string identity;
  int64_t since = 0;
  const std::u16string full = engine.EffectiveSyncRootPath() + folder;
  if (!manager->GetItemIdByPath(full.c_str(), identity, &since) || identity.empty()) return held_as;
  std::u16string named = engine.taken_renames.Follow(std::move(identity), since);
  return named == root || IsBelowFolder(named, root) ? held_as : named;
}

// With `held`, an asynchronous listing's task comes back with a reference of
// the caller's, so it can watch the task end.
int32_t EnumerateRemoteItems(Engine& engine, int64_t* task_id, const std::u16string& folder,
                             const std::u16string& mask, int64_t context, int32_t batch_limit, bool recursive,
                             Task** held = nullptr) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Enumerate remote items for '%s', mask: '%s'", folder, mask);
  *task_id = -1;
  Task* task = engine.tasks.CreateTask(folder, OP_LIST, nullptr);
  if (task == nullptr) return engine.diag.Record(kErrOutOfMemory, kTextOutOfMemory);
  task->LocalPath = FullPathOf(engine, folder);
  task->Listing = std::make_unique<Listing>();
  task->Listing->Mask = mask;
  task->Listing->BatchLimit = batch_limit > 0 ? static_cast<uint32_t>(batch_limit) : 0;
  task->Listing->Recursive = recursive;
  task->Listing->Context = context;
  task->Listing->ChangeMark = engine.newer_changes.Now();
  *task_id = engine.tasks.RegisterTask(task);
  // Taken before the host can see the task: it may finish it at once.
  Task* reference = nullptr;
  if (held != nullptr && engine.tasks.FindTask(*task_id, false, &reference) != kOk && reference != nullptr) {
    engine.tasks.ReleaseTask(reference);
    reference = nullptr;
  }

  int32_t result = kOk;
  // A folder a refused rename stranded is listed where the host holds it. A
  // retry would list that name into a folder of the same name here, so it
  // has none: the next look asks again.
  const std::u16string held_as = HostNameOfStrandedFolder(engine, folder);
  const int32_t fired = held_as.empty() ? FireListItemsWithRetry(engine, *task, folder, mask, result)
                                        : DoListItems(engine, *task, held_as, mask, result);
  if (result == kOk && Stopping(engine)) result = kErrCancelled;
  if (result == kErrPending) task->StartTime.store(CurrentTimeMs());
  if (fired != 0) task->LeaveHandler();
  if (result != kOk && result != kErrPending) {
    engine.tasks.RemoveTask(task, *task_id, false);
    *task_id = -1;
  }
  if (reference != nullptr) {
    if (result == kErrPending) {
      *held = reference;
    } else {
      engine.tasks.ReleaseTask(reference);
    }
  }
  LogF(sink, kLogVerbose, u"Enumeration of '%s' finished with error code %d", folder, result);
  return result;
}

// Takes the reported items out of the listing under the task's lock, so
// reports from other host threads go on into a fresh list.
std::vector<ListedItem> TakeItems(Task& task) {
  RecursiveMutexLock lock(task.TaskLock);
  std::vector<ListedItem> items;
  items.swap(task.Listing->Items);
  task.Listing->Count = 0;
  return items;
}

// The checks of one reported item: a bad one is logged, reported in an
// Error event and skipped.
bool AcceptItem(Engine& engine, const ListedItem& item) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Processing item: '%s', type: %s", item.Name,
       (item.Attributes & HALVEX_ATTR_DIRECTORY) != 0 ? u"directory" : u"file");
  if (int32_t rc = CheckItemProperties(sink, static_cast<int32_t>(item.Attributes), item.Size, item.CreationTime,
                                       item.LastAccessTime, item.LastWriteTime, 0);
      rc != kOk) {
    LogF(sink, kLogFailure, u"Skip item because of invalid property value for item '%s'. Error code: 0x%x", item.Name,
         static_cast<uint32_t>(rc));
    FireErrorEvent(engine, rc);
    return false;
  }
  if (!ValidateItemName(engine, item.Name)) {
    LogF(sink, kLogFailure, u"Skip item because of invalid name: '%s'. Error code: 0x%x", item.Name,
         static_cast<uint32_t>(kErrInvalidItemName));
    FireErrorEvent(engine, kErrInvalidItemName);
    return false;
  }
  return true;
}

// The rest of one accepted item: its placeholder unless the batch made it,
// then its own listing when recursive. Failures are the item's own and only
// reported.
bool RenameWaits(Engine& engine, const std::u16string& path, bool is_dir) {
  if (RenameFromUnanswered(engine, path)) return true;
  return engine.settings.event_retry_interval.load() > 0 && RetryQueueOf(engine).HasRenameFrom(path, is_dir);
}

bool MovedAwayUntold(Engine& engine, const std::u16string& path, bool is_dir) {
  if (RenameWaits(engine, path, is_dir)) return true;
  // Moved while stopped into a folder whose own move waits: the item's move
  // is told once the folder's is taken.
  const std::u16string folder = engine.moved_into_waiting_folders.FolderOf(path);
  return !folder.empty() && RenameWaits(engine, folder, true);
}

int32_t FinishItem(Engine& engine, const std::u16string& folder, const Listing& listing, const ListedEntry& entry) {
  LogSink* sink = engine.diag.log_sink();
  const ListedItem& item = *entry.item;
  if (!entry.made && engine.newer_changes.ChangedSince(entry.path, listing.ChangeMark)) {
    // The host's own method changed it while this listing was under way
    // (waiting on another listing of the folder, say): that change stands,
    // and the cache shows what is there rather than what was listed.
    LogF(sink, kLogVerbose, u"'%s' changed after the host was asked for the listing: the change stands", entry.path);
    ShownItem shown;
    if (ReadShownItem(FullPathOf(engine, entry.path), shown)) {
      RecordShownItem(engine, entry.path, shown);
    } else {
      engine.metadata_cache.Remove(entry.path, false);
    }
    return kOk;
  }
  int32_t rc = entry.made ? kOk : CreateListedItemPlaceholder(engine, folder, item, entry.only_if_present);
  if (rc == kErrLocalItemNotFound && entry.only_if_present) {
    // As above, only later: its change records tell the host.
    LogF(sink, kLogVerbose, u"'%s' was removed here while it was listed: the listing does not make it again",
         entry.path);
    return kOk;
  }
  if (rc != kOk) {
    // No entry for an item that never appeared on disk.
    if (entry.added &&
        platform::GetFileAttributesW(FullPathOf(engine, entry.path).c_str()) == platform::INVALID_FILE_ATTRIBUTES) {
      engine.metadata_cache.Remove(entry.path, false);
    }
    if (rc != kErrCancelled) {
      LogF(sink, kLogFailure, u"Failed to create a placeholder for the item: '%s'. Error code: 0x%x", entry.path,
           static_cast<uint32_t>(rc));
      FireErrorEvent(engine, rc);
    }
    return rc;
  }
  if ((item.Attributes & HALVEX_ATTR_DIRECTORY) != 0 && listing.Recursive) {
    LogF(sink, kLogVerbose, u"Processing directory recursively: '%s'", folder);
    rc = ProcessDirectory(engine, entry.path, listing.Mask, listing.Context, static_cast<int32_t>(listing.BatchLimit),
                          true);
    if (rc != kOk && rc != kErrCancelled) {
      LogF(sink, kLogFailure, u"Failed to enumerate the directory: '%s'. Error code: 0x%x", entry.path,
           static_cast<uint32_t>(rc));
      FireErrorEvent(engine, rc);
    }
  }
  return rc;
}

}  // namespace

int32_t ProcessDirectory(Engine& engine, const std::u16string& folder, const std::u16string& mask, int64_t context,
                         int32_t batch_limit, bool recursive) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Processing directory '%s', context: %I64u", folder, static_cast<uint64_t>(context));
  int64_t task_id = -1;
  const int32_t result = EnumerateRemoteItems(engine, &task_id, folder, mask, context, batch_limit, recursive);
  if ((result != kOk && result != kErrPending) || task_id < 0) {
    LogF(sink, kLogFailure, u"Enumeration request failed for '%s'. Result: 0x%x", folder, static_cast<uint32_t>(result));
    return result;
  }
  // The host lists later; the listing is processed when it finalizes the task.
  if (result == kErrPending) return kOk;
  LogF(sink, kLogVerbose, u"Enumeration request for '%s' completedI64u", folder);
  return ProcessListing(engine, task_id, true);
}

namespace {

// The folder was moved here by a program and the watcher has not yet told
// the host: the host knows it by its old name only, so a listing asked under
// the new name would come back empty, and the folder would stay empty for
// good once marked populated. The old name is the placeholder's identity.
bool MovedBeforeTheHostWasTold(Engine& engine, const std::u16string& folder) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr || folder == u"\\" || engine.metadata_cache.Lookup(folder, nullptr, nullptr)) return false;
  std::u16string known_as;
  const std::u16string full = FullPathOf(engine, folder);
  if (!manager->GetItemIdByPath(full.c_str(), known_as) || known_as.empty() || known_as == folder) return false;
  return engine.metadata_cache.Lookup(known_as, nullptr, nullptr) &&
         platform::GetFileAttributesW(FullPathOf(engine, known_as).c_str()) == platform::INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int32_t ListFolderForApplication(Engine& engine, const std::u16string& folder, int32_t batch_limit,
                                 bool* reported) {
  *reported = false;
  if (MovedBeforeTheHostWasTold(engine, folder)) {
    // Unpopulated, it is asked for again once the move has reached the host.
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is not listed before its move has reached the host", folder);
    return kErrRetry;
  }
  int64_t task_id = -1;
  Task* task = nullptr;
  const int32_t result = EnumerateRemoteItems(engine, &task_id, folder, u"*", 0, batch_limit, false, &task);
  if ((result != kOk && result != kErrPending) || task_id < 0) {
    LogF(engine.diag.log_sink(), kLogFailure, u"Enumeration request failed for '%s'. Result: 0x%x", folder,
         static_cast<uint32_t>(result));
    return result;
  }
  if (result == kOk) return ProcessListing(engine, task_id, true);
  if (task == nullptr) return kErrInternal;
  // The monitor finishes the task once the host finalizes it: its items are
  // placeholders by the time it leaves the registry.
  const int64_t give_up = CurrentTimeMs() + kApplicationListingWaitMs;
  int32_t outcome = kErrCancelled;
  while (true) {
    bool registered = false;
    {
      TaskRegistry::Lock lock(engine.tasks);
      registered = engine.tasks.IsRegisteredLocked(task);
    }
    if (!registered) {
      if (task->Cancelled.load() == 0 && task->Completed.load() != 0) {
        outcome = static_cast<int32_t>(task->ResultCode.load());
        *reported = outcome != kOk;  // by the monitor that finished it
      }
      break;
    }
    if (task->Cancelled.load() != 0 || Stopping(engine) || engine.state.deactivating.load() != 0 ||
        CurrentTimeMs() > give_up)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  engine.tasks.ReleaseTask(task);
  LogF(engine.diag.log_sink(), kLogVerbose, u"Asynchronous listing of '%s' ended with 0x%x", folder,
       static_cast<uint32_t>(outcome));
  return outcome;
}

int32_t ProcessListing(Engine& engine, int64_t task_id, bool remove_task) {
  LogSink* sink = engine.diag.log_sink();
  Task* task = nullptr;
  if (int32_t rc = engine.tasks.FindTask(task_id, false, &task); rc != kOk) {
    if (task != nullptr) engine.tasks.ReleaseTask(task);
    return engine.diag.Record(rc, ResultMessage(rc));
  }
  if (task->OperationType != OP_LIST || task->Listing == nullptr) {
    engine.tasks.ReleaseTask(task);
    LogF(sink, kLogFailure, u"Enumeration request finish: wrong handle %I64u", static_cast<uint64_t>(task_id));
    return engine.diag.Record(kErrInternal, ResultMessage(kErrInternal));
  }
  const std::u16string folder = task->Path;
  const uint64_t asked = task->Listing->ChangeMark;
  std::vector<ListedItem> items = TakeItems(*task);
  LogF(sink, kLogVerbose, u"Enumeration request to backend for path '%s'. Got %d items", folder,
       static_cast<int32_t>(items.size()));
  int32_t result = kOk;
  std::vector<ListedEntry> entries;
  entries.reserve(items.size());
  for (const ListedItem& item : items) {
    if (Stopping(engine)) {
      result = kErrCancelled;
      break;
    }
    if (!AcceptItem(engine, item)) continue;
    std::u16string path = JoinItemPath(folder, item.Name);
    if (engine.newer_changes.ChangedSince(path, asked)) {
      LogF(sink, kLogVerbose, u"'%s' changed after the host was asked for the listing: the change stands", path);
      continue;
    }
    const bool added = engine.metadata_cache.NoItemInCache(path);
    // Moved away by the user, its rename not taken yet (unanswered, or
    // waiting for a retry): the host lists it where it was, and made again
    // there it would stay behind once the rename is taken.
    if (added && MovedAwayUntold(engine, path, (item.Attributes & HALVEX_ATTR_DIRECTORY) != 0)) {
      LogF(sink, kLogVerbose, u"'%s' was moved away here: the listing does not make it again", path);
      continue;
    }
    // Known here and gone from disk: the user removed it (a listing asked
    // again, say after a retry, can come after that), and the removal goes
    // to the host as a delete. Made again, it would outlive that delete.
    // Unless another listing of the folder took it in and is making it.
    const bool made_by_another_listing = !added && engine.items_being_listed.Contains(path);
    if (!added && !made_by_another_listing &&
        platform::GetFileAttributesW(FullPathOf(engine, path).c_str()) == platform::INVALID_FILE_ATTRIBUTES) {
      LogF(sink, kLogVerbose, u"'%s' was removed here: the listing does not make it again", path);
      continue;
    }
    ListedEntry& entry = entries.emplace_back();
    entry.item = &item;
    entry.path = std::move(path);
    LogF(sink, kLogVerbose, u"Adding new entry to meta cache. Path: '%s'", entry.path);
    entry.added = added;
    entry.only_if_present = !added && !made_by_another_listing;
    if (added) engine.items_being_listed.Add(entry.path);
    engine.metadata_cache.AddNewItemToCache(entry.path, item.Name, item.Attributes, item.Size, item.CreationTime,
                                            item.LastAccessTime, item.LastWriteTime);
  }
  if (result == kOk) CreateNewListedFiles(engine, folder, entries);
  size_t finished = 0;
  while (result == kOk && finished < entries.size()) {
    if (Stopping(engine)) {
      result = kErrCancelled;
      break;
    }
    if (FinishItem(engine, folder, *task->Listing, entries[finished++]) == kErrCancelled || Stopping(engine))
      result = kErrCancelled;
  }
  // Items left behind by a stop never appeared on disk: no entries for them.
  for (size_t i = finished; i < entries.size(); ++i) {
    if (entries[i].added && !entries[i].made) engine.metadata_cache.Remove(entries[i].path, false);
  }
  for (const ListedEntry& entry : entries)
    if (entry.added) engine.items_being_listed.Remove(entry.path);
  LogF(sink, kLogVerbose, u"Finishing processing directory '%s'. Error code: 0x%x", folder,
       static_cast<uint32_t>(result));
  if (remove_task) {
    engine.tasks.RemoveTask(task, task_id, true);
  } else {
    engine.tasks.ReleaseTask(task);
  }
  return result;
}

int32_t IntListItem(Engine& engine, int64_t enumeration_handle, std::u16string_view name, bool is_folder,
                    int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                    int64_t last_write_time) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"IntListItem EnumerationHandle(%I64u), ItemName('%s')",
       static_cast<uint64_t>(enumeration_handle), name);
  LogItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time);
  if (enumeration_handle < 0) return engine.diag.Record(kErrInvalidOpId, ResultMessage(kErrInvalidOpId));
  if (Stopping(engine)) return kErrCancelled;
  Task* task = nullptr;
  if (int32_t rc = engine.tasks.FindTask(enumeration_handle, false, &task); rc != kOk) {
    if (task != nullptr) engine.tasks.ReleaseTask(task);
    return engine.diag.Record(rc, ResultMessage(rc));
  }
  if (task->OperationType != OP_LIST || task->Listing == nullptr) {
    engine.tasks.ReleaseTask(task);
    return engine.diag.Record(kErrInvalidOpId, "Invalid OpId");
  }
  if (engine.settings.track_office_lock_files.load() && IsOfficeLockName(name)) {
    engine.tasks.ReleaseTask(task);
    LogF(sink, kLogVerbose, u"Item skipped as TrackOfficeLockFiles config in 'true': '%s'", name);
    return kOk;
  }
  ListedItem item;
  item.Name = std::u16string(name);
  item.Attributes = static_cast<uint32_t>(attributes);
  item.Size = size;
  if (is_folder) {
    item.Attributes |= HALVEX_ATTR_DIRECTORY;
    item.Size = 0;
  } else {
    LogF(sink, kLogVerbose, u"ListItem: Name(%s), directory: %s", name, u"false");
  }
  item.CreationTime = creation_time;
  item.LastAccessTime = last_access_time;
  item.LastWriteTime = last_write_time;
  LogItemProperties(sink, static_cast<int32_t>(item.Attributes), item.Size, creation_time, last_access_time,
                last_write_time);

  bool process_now = false;
  {
    RecursiveMutexLock lock(task->TaskLock);
    Listing& listing = *task->Listing;
    if (listing.Count >= listing.Capacity) {
      engine.tasks.ReleaseTask(task);
      return engine.diag.Record(kErrTooManyItems, "Too many items reported by enumeration event hadler");
    }
    listing.Items.push_back(std::move(item));
    ++listing.Count;
    process_now = listing.BatchLimit >= 1 && listing.Count >= listing.BatchLimit;
  }
  const int64_t task_id = task->TaskId;
  engine.tasks.ReleaseTask(task);
  int32_t result = kOk;
  if (Stopping(engine)) {
    result = kErrCancelled;
  } else if (process_now) {
    result = ProcessListing(engine, task_id, false);
  }
  LogF(sink, kLogVerbose, u"IntListItem Result('%x')", static_cast<uint32_t>(result));
  if (result == kOk || result == kErrCancelled) return result;
  return engine.diag.LastErrorCode() == result ? result : engine.diag.Record(result, ResultMessage(result));
}

}  // namespace corvane
