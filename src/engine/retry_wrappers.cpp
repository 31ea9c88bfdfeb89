// The retry wrappers around the event bridges, and ReportDelete.
#include "engine/retry_wrappers.h"

#include <memory>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/task.h"
#include "support/mutex.h"

namespace corvane {
namespace {

std::unique_ptr<RetryRecord> NewRecord(const Task& task, const std::u16string& path, uint32_t op_type,
                                       bool is_dir) {
  auto record = std::make_unique<RetryRecord>();
  record->Path = path;
  record->OpType = op_type;
  record->QueuedAt = CurrentTimeMs();
  record->TaskId = task.TaskId;
  record->IsDir = is_dir ? 1 : 0;
  return record;
}

// A retry answer queues the record now; a pending answer parks it in the task
// until the host's final answer says whether it is needed.
template <class Fill>
void KeepForRetry(Engine& engine, Task& task, const std::u16string& path, uint32_t op_type, bool is_dir,
                  int32_t result, Fill&& fill) {
  if (result != kErrRetry && result != kErrPending) return;
  if (engine.settings.event_retry_interval.load() <= 0) return;
  auto record = NewRecord(task, path, op_type, is_dir);
  fill(*record);
  if (result == kErrRetry) {
    // Reported as new again (an activation's look, a rescan) while its
    // create still waits: that one takes the values of now; a second would
    // offer the host the same new item twice.
    if ((op_type == kOpCreate || op_type == kOpUpdate) && RetryQueueOf(engine).RefreshCreate(path, is_dir, *record))
      return;
    RetryQueueOf(engine).Append(std::move(record));
  } else {
    RecursiveMutexLock lock(task.TaskLock);
    task.RetryRecord = std::move(record);
  }
}

// A change that would reach the host before a record it must follow (the
// folder's rename or create, the rename away from its name, its own create)
// is queued behind that record, as if the host had answered retry, and the
// walk keeps the order.
bool WaitsForQueuedRecord(Engine& engine, std::u16string_view path, int32_t op_type, bool is_dir, int32_t& result) {
  if (engine.settings.event_retry_interval.load() < 1) return false;
  // A new item at a name a queued rename moves the old one from (made
  // there, or moved there: FireRenameWithRetry asks for its target): the
  // host holds the old one there until that rename is taken.
  if ((op_type == kOpCreate || op_type == kOpUpdate || op_type == kOpRename) &&
      (RetryQueueOf(engine).HasRenameFrom(path, false) || RetryQueueOf(engine).HasRenameFrom(path, true)) &&
      engine.pending.CountOf(path, op_type, is_dir) == 0) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' waits for the queued rename of the item that had its name", path);
    result = kErrRetry;
    return true;
  }
  // A folder's delete would take with it an item a queued rename moves out
  // of it (the host has that item there until the rename is taken).
  if (op_type == kOpDelete && is_dir && RetryQueueOf(engine).HasRenameFromBelow(path) &&
      engine.pending.CountOf(path, op_type, is_dir) == 0) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' waits for the queued rename of an item moved out of it", path);
    result = kErrRetry;
    return true;
  }
  // Offered as new again (a start's look, a rescan) while its first create
  // waits for a retry: the host hears of the item once, from that create
  // with the values of now, or after what the queue holds of the name since.
  // A change of it offered meanwhile (a start finding it out of sync) goes
  // with that create too: the host has no item to update yet.
  if ((op_type == kOpCreate || op_type == kOpUpdate) && RetryQueueOf(engine).Holds(kOpCreate, path, is_dir) &&
      engine.pending.CountOf(path, op_type, is_dir) == 0) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' waits for its create already queued", path);
    result = kErrRetry;
    return true;
  }
  const std::u16string folder = RetryQueueOf(engine).FolderAwaitedBy(path);
  // The host's own change is not reported at all: the event's own check
  // swallows its echo.
  if (folder.empty() || engine.pending.CountOf(path, op_type, is_dir) > 0) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' waits for the queued change of its folder '%s'", path, folder);
  result = kErrRetry;
  return true;
}

uint64_t U64(int64_t value) { return static_cast<uint64_t>(value); }
uint32_t U32(int32_t value) { return static_cast<uint32_t>(value); }

}  // namespace

int32_t FireCreateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir,
                            int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                            int64_t last_write_time, int32_t& result) {
  const int32_t fired =
      WaitsForQueuedRecord(engine, path, kOpCreate, is_dir, result)
          ? 1
          : DoCreate(engine, task, path, is_dir, attributes, size, creation_time, last_access_time, last_write_time,
                     result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpCreate, is_dir, result, [&](RetryRecord& r) {
    r.Value2 = U32(attributes);
    r.Size = U64(size);
    r.CreationTime = U64(creation_time);
    r.LastAccessTime = U64(last_access_time);
    r.LastWriteTime = U64(last_write_time);
  });
  return fired;
}

int32_t FireUpdateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir,
                            int32_t update_flags, int32_t attributes, int64_t size, int64_t creation_time,
                            int64_t last_access_time, int64_t last_write_time, int32_t& result) {
  const int32_t fired = WaitsForQueuedRecord(engine, path, kOpUpdate, is_dir, result)
                            ? 1
                            : DoUpdate(engine, task, path, is_dir, update_flags, attributes, size, creation_time,
                                       last_access_time, last_write_time, result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpUpdate, is_dir, result, [&](RetryRecord& r) {
    r.Value1 = U32(update_flags);
    r.Value2 = U32(attributes);
    r.Size = U64(size);
    r.CreationTime = U64(creation_time);
    r.LastAccessTime = U64(last_access_time);
    r.LastWriteTime = U64(last_write_time);
  });
  return fired;
}

int32_t FireRenameWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& new_path,
                            bool is_dir, int32_t& result) {
  if (RemoveFromRetryQueue(engine, path, is_dir)) {
    LogF(engine.diag.log_sink(), kLogVerbose,
         u"DoRename called for '%s', NewPath: '%s'. Removed file from event retry queue", path, new_path);
  }
  if (engine.pending.CheckPendingOrRemove(path, kOpRename, is_dir, new_path)) return 0;
  const int32_t fired = WaitsForQueuedRecord(engine, path, kOpRename, is_dir, result) ||
                                   WaitsForQueuedRecord(engine, new_path, kOpRename, is_dir, result)
                            ? 1
                            : DoRename(engine, task, path, new_path, is_dir, result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpRename, is_dir, result, [&](RetryRecord& r) { r.NewPath = new_path; });
  return fired;
}

int32_t FireDeleteWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t flags,
                            int32_t& result) {
  bool held_create = false;
  if (RemoveFromRetryQueue(engine, path, is_dir, &held_create)) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"DoDelete called for '%s'. Removed file from event retry queue",
         path);
  }
  // The host asked to see the item's create again and never took it: it
  // has nothing to delete, and a failed delete would keep the item known,
  // so that the next item of that name went to the host as an update.
  if (held_create) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was never taken by the host: its delete is not reported", path);
    result = kOk;
    return 0;
  }
  if (engine.pending.CheckPendingOrRemove(path, kOpDelete, is_dir)) return 0;
  const int32_t fired =
      WaitsForQueuedRecord(engine, path, kOpDelete, is_dir, result) ? 1
                                                                    : DoDelete(engine, task, path, is_dir, flags, result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpDelete, is_dir, result, [&](RetryRecord& r) { r.Value1 = U32(flags); });
  return fired;
}

int32_t FireGetItemDataWithRetry(Engine& engine, Task& task, const std::u16string& path, int64_t offset,
                                 int64_t length, int32_t& result) {
  const int32_t fired = DoGetItemData(engine, task, path, offset, length, result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpReadData, false, result, [&](RetryRecord& r) {
    r.Offset = offset;
    r.Length = length;
  });
  return fired;
}

int32_t FireListItemsWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& mask,
                               int32_t& result) {
  const int32_t fired = DoListItems(engine, task, path, mask, result);
  if (fired == 0) return 0;
  KeepForRetry(engine, task, path, kOpList, true, result, [&](RetryRecord& r) { r.Mask = mask; });
  return fired;
}

std::u16string FollowQueuedRename(Engine& engine, std::u16string_view target, std::u16string_view new_target) {
  if (engine.settings.event_retry_interval.load() < 1) return {};
  return RetryQueueOf(engine).FollowRename(target, new_target);
}

bool DeleteLeftNothing(int32_t answer) {
  return answer == kOk || answer == kErrLocalItemNotFound || answer == kErrItemNotFound;
}

int32_t ReportDeletedWhileStopped(Engine& engine, const std::u16string& path, uint32_t attributes) {
  if (engine.metadata_cache.NoItemInCache(path))
    engine.metadata_cache.AddNewItemToCache(path, path.substr(path.rfind(u'\\') + 1), attributes, 0, 0, 0, 0);
  LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was deleted while the provider was stopped", path);
  return ReportDelete(engine, path, nullptr, DeleteOf::kCachedItem);
}

int32_t ReportDelete(Engine& engine, const std::u16string& path, Task* task, DeleteOf mode) {
  bool is_dir = mode == DeleteOf::kFolder;
  if (mode == DeleteOf::kCachedItem) {
    uint32_t attributes = 0;
    // Renamed here by a rename the host has not answered: once it does, the
    // item is known under this name (unless it refused), and its delete is owed.
    // Or removed again (the platform may record a removal twice) while the
    // host has not answered the delete the first record told: once it has,
    // the item is no longer known here and nothing is left to tell.
    const bool waited =
        !engine.metadata_cache.GetAttributes(path, &attributes) || DeleteUnansweredAt(engine, path, task);
    if (waited) AwaitAnswerAt(engine, path, false);
    if (!engine.metadata_cache.GetAttributes(path, &attributes)) {
      // Still known to the host under the name a queued rename moves it from:
      // the rename is moot, the item goes under its old name.
      const std::u16string source = FollowQueuedRename(engine, path, u"");
      if (!source.empty()) return ReportDelete(engine, source, task, mode);
      // Never known to the host: nothing to report, and a delete the host
      // made itself leaves no key behind, nor does its rename that moved
      // the item where no record follows it (a folder not watched yet).
      engine.pending.RemoveAll(path, kOpDelete);
      engine.pending.RemoveAll(path, kOpRename);
      return kOk;
    }
    is_dir = (attributes & kItemAttributeFolder) != 0;
    // The host's own delete takes the entry out of the cache before it ends
    // its pending mark, so an entry read before the one must be read again
    // after the other: a removal of the host's making finds the mark or no
    // entry, never an entry without the mark.
    if (engine.pending.CheckPendingOrRemove(path, kOpDelete, is_dir) ||
        !engine.metadata_cache.GetAttributes(path, &attributes))
      return kOk;
    // The removal of the name a rename the host has not answered moves the
    // item from is that rename's own record: taken, the item is known under
    // the new name; refused, it may be back here (its data only on the
    // server under this name). Either way it is not gone.
    if (RenameFromUnanswered(engine, path)) {
      AwaitAnswerAt(engine, path, true);
      if (engine.ProbeItem(path) != ItemKind::kMissing || !engine.metadata_cache.GetAttributes(path, &attributes)) {
        LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was moved by a rename the host has answered since: not a delete",
             path);
        return kOk;
      }
    }
    // The wait for the answer may have let the host make its own item here
    // (the watcher looked before it): the removal was of the item before it.
    if (waited && engine.HostMadeItemAt(path)) {
      LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was made again by the host since its removal: not reported",
           path);
      return kOk;
    }
  }
  // The removal of the name a queued rename moves the item from is that
  // rename's own record: as a delete it would drop the rename and remove the
  // item from the server, while the item lives on under its new name.
  if (engine.settings.event_retry_interval.load() > 0 && RetryQueueOf(engine).HasRenameFrom(path, is_dir)) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was moved by a rename that waits for a retry: not a delete",
         path);
    return kOk;
  }

  Task* own = nullptr;
  if (task == nullptr) {
    own = engine.tasks.CreateTask(path, OP_DELETE, nullptr);
    if (own == nullptr) return engine.diag.Record(kErrOutOfMemory, kTextOutOfMemory);
    own->LocalPath = engine.EffectiveSyncRootPath() + path;
    if (engine.tasks.RegisterTask(own) < 0) {
      engine.tasks.ReleaseTask(own);
      return engine.diag.Record(kErrInternal, "");
    }
    task = own;
  }

  // The host may make its own item of this name while the delete waits for
  // the answers it depends on: the removal was of the item before it.
  if (AwaitAnswersForDelete(engine, *task, path, is_dir) &&
      (engine.unseen_creations.Contains(path) || engine.HostMadeItemAt(path))) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' was made again by the host while its delete waited: not reported",
         path);
    engine.tasks.RemoveTask(task, task->TaskId, false);
    return kOk;
  }
  int32_t result = kOk;
  FireDeleteWithRetry(engine, *task, path, is_dir, 0, result);
  if (result == kErrPending) {
    Log(engine.diag.log_sink(), kLogVerbose, u"DeleteItem fired in async mode");
    task->StartTime.store(CurrentTimeMs());
    task->LeaveHandler();
    return result;
  }
  task->LeaveHandler();
  if (DeleteLeftNothing(result)) ForgetDeletedItem(engine, engine.EffectiveSyncRootPath(), path);
  // The task is finished either way. A caller that handed in its own task and
  // still uses it afterwards holds a reference of its own.
  engine.tasks.RemoveTask(task, task->TaskId, false);
  return result;
}

}  // namespace corvane
