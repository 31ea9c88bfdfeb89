// One walk of the retry queue: every record whose interval has passed fires
// its event again, with a new task (or, for reads, the task it names).
#include <memory>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/enumeration.h"
#include "engine/event_bridges.h"
#include "engine/local_changes.h"
#include "engine/local_item_values.h"
#include "engine/retry_passes.h"
#include "engine/retry_wrappers.h"
#include "engine/retry_queue.h"
#include "engine/task.h"
#include "platform/directory_changes.h"
#include "platform/files.h"
#include "provider/create_update_states.h"
#include "provider/placeholder_manager.h"
#include "provider/placeholder_requests.h"
#include "support/mutex.h"

namespace corvane {
namespace {

int32_t TaskTypeFor(uint32_t op_type) {
  switch (op_type) {
    case kOpDelete: return OP_DELETE;
    case kOpCreate: return OP_CREATE;
    case kOpUpdate: return OP_WRITE_DATA;
    case kOpRename: return OP_RENAME;
    case kOpList: return OP_LIST;
    default: return OP_UNDEFINED;
  }
}

const char16_t* AsyncLogLine(uint32_t op_type) {
  switch (op_type) {
    case kOpDelete: return u"DeleteItem fired in async mode";
    case kOpCreate: return u"CreateItem fired in async mode";
    case kOpUpdate: return u"UpdateItem fired in async mode";
    case kOpRename: return u"RenameItem fired in async mode";
    default: return u"ListItems fired in async mode";
  }
}

int32_t I32(uint32_t value) { return static_cast<int32_t>(value); }
int64_t I64(uint64_t value) { return static_cast<int64_t>(value); }

int32_t FireRecord(Engine& engine, Task& task, const RetryRecord& r, int32_t& result) {
  const bool is_dir = r.IsDir != 0;
  switch (r.OpType) {
    case kOpDelete: return DoDelete(engine, task, r.Path, is_dir, I32(r.Value1), result);
    case kOpCreate:
      return DoCreate(engine, task, r.Path, is_dir, I32(r.Value2), I64(r.Size), I64(r.CreationTime),
                      I64(r.LastAccessTime), I64(r.LastWriteTime), result);
    case kOpUpdate:
      return DoUpdate(engine, task, r.Path, is_dir, I32(r.Value1), I32(r.Value2), I64(r.Size), I64(r.CreationTime),
                      I64(r.LastAccessTime), I64(r.LastWriteTime), result);
    case kOpRename: return DoRename(engine, task, r.Path, r.NewPath, is_dir, result);
    default: return DoListItems(engine, task, r.Path, r.Mask, result);
  }
}

// The renamed item keeps the identity it had under the old name until the
// host takes the rename: a placeholder at the new name with an identity of
// its own is an item the host was told of since. (A plain file there may be
// content saved over the moved item, whose rename still holds.)
bool AnotherItemAtNewName(Engine& engine, const std::u16string& root, const RetryRecord& record) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  const std::u16string target = root + record.NewPath;
  std::u16string identity;
  int64_t since = 0;
  if (manager == nullptr) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(target.c_str());
  if (state == platform::CF_PLACEHOLDER_STATE_INVALID || (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) == 0 ||
      !manager->GetItemIdByPath(target.c_str(), identity, &since) || identity.empty())
    return false;
  return identity != record.Path && engine.taken_renames.Follow(identity, since) != record.Path;
}

// A queued rename of an item the cache does not know (told from its identity
// at a start): its values now stand for those the start told it with, so
// that the host's late acceptance takes the item in, as it would have then.
// Left out, the item stayed unknown under its new name, and its next change
// went to the host as a create of what it had already.
void NoteSourceValues(Engine& engine, const std::u16string& root, const RetryRecord& record, RenameInfo& info) {
  LocalItemValues values;
  if (engine.metadata_cache.Lookup(record.Path, nullptr, nullptr) || ReadLocalValues(root + record.NewPath, values) != 0)
    return;
  info.HasSource = true;
  info.SourceAttributes = static_cast<uint32_t>(values.attributes);
  info.SourceSize = values.size;
  info.SourceCreationTime = static_cast<uint64_t>(values.creation_time);
  info.SourceLastAccessTime = static_cast<uint64_t>(values.last_access_time);
  info.SourceLastWriteTime = static_cast<uint64_t>(values.last_write_time);
}

// Fires an event that has a task of its own; returns the record's result.
int32_t RetryWithNewTask(Engine& engine, const std::u16string& root, const RetryRecord& record) {
  LogSink* sink = engine.diag.log_sink();
  const bool rename = record.OpType == kOpRename;
  const std::u16string& key = rename ? record.NewPath : record.Path;
  Task* task = engine.tasks.CreateTask(key, TaskTypeFor(record.OpType), nullptr);
  if (task == nullptr) return kErrOutOfMemory;
  task->LocalPath = root + key;
  if (record.OpType == kOpList && task->Listing) {
    task->Listing->Mask = record.Mask;
    task->Listing->ChangeMark = engine.newer_changes.Now();
  }
  if (record.OpType == kOpCreate && !engine.metadata_cache.Lookup(record.Path, nullptr, nullptr) &&
      engine.ProbeItem(record.Path) != ItemKind::kMissing) {
    // Known from its first report until a start rebuilt the cache without
    // it (its folder's content left for later): unknown, the change record
    // the taken create leaves would report it as new a second time.
    engine.metadata_cache.AddNewItemToCache(record.Path, record.Path.substr(record.Path.rfind(u'\\') + 1),
                                            record.Value2, I64(record.Size), record.CreationTime,
                                            record.LastAccessTime, record.LastWriteTime);
  }
  if (record.OpType == kOpCreate || record.OpType == kOpUpdate) {
    task->ReportedSize = record.IsDir != 0 ? -1 : I64(record.Size);
    task->ReportedWriteTime = I64(record.LastWriteTime);
    // The host reads the file as it is when the event fires again.
    if (record.IsDir == 0) task->ReportedUsn = ReadFileVersion(engine, record.Path).usn;
  }
  if (rename) {
    // A late acceptance still has to move the item. What was done inside a
    // folder while its move waited here (moved in, renamed, found at a start)
    // is looked for once the move is taken.
    task->RenameInfo = std::make_unique<RenameInfo>();
    task->RenameInfo->SourcePath = record.Path;
    task->RenameInfo->TargetPath = record.NewPath;
    task->RenameInfo->WalkWhenTaken = record.IsDir != 0;
    task->RenameInfo->DeletedBelow = record.DeletedBelow;
    NoteSourceValues(engine, root, record, *task->RenameInfo);
  }
  // Offered again now: an entry that moved here with a folder's rename may
  // carry the refusal of a create under the folder's old name, and a change
  // seen meanwhile would tell the item as new once more. A refusal of this
  // create sets it again.
  if (record.OpType == kOpCreate) engine.metadata_cache.SetCreateFailed(record.Path, false);
  if (engine.tasks.RegisterTask(task) < 0) {
    engine.tasks.ReleaseTask(task);
    return kErrInternal;
  }
  if (record.OpType == kOpUpdate) {
    const int32_t hr = SetInSyncThroughManager(engine, root, record.Path, false);
    if (hr != 0) {
      LogF(sink, kLogFailure, u"Failed to set placeholder sync state to false: '%s'. OS error code: 0x%x",
           record.Path, static_cast<uint32_t>(hr));
    }
  }
  int32_t result = kOk;
  FireRecord(engine, *task, record, result);
  bool asynchronous = false;
  if (result == kErrPending) {
    Log(sink, kLogVerbose, AsyncLogLine(record.OpType));
    task->StartTime.store(CurrentTimeMs());
    if (engine.settings.event_retry_interval.load() > 0) {
      auto again = std::make_unique<RetryRecord>(record);
      again->TaskId = task->TaskId;
      RecursiveMutexLock lock(task->TaskLock);
      task->RetryRecord = std::move(again);
    }
    result = kOk;
    asynchronous = true;
  } else if (record.OpType == kOpUpdate && result != kErrRetry &&
             engine.settings.windows_update_icon_on_update_errors.load()) {
    SetItemErrorMark(engine, root + record.Path, result != kOk);
  }
  task->LeaveHandler();
  if (asynchronous) return result;

  if ((record.OpType == kOpUpdate || record.OpType == kOpCreate) && result == kOk) {
    const int32_t rc = MarkTakenVersionInSync(engine, record.Path, task->ReportedSize, task->ReportedWriteTime, -1,
                                              task->ReportedUsn);
    if (rc != kOk) {
      LogF(sink, kLogFailure, u"Failed to set placeholder sync state to true: '%s'. Error code: 0x%x",
           record.Path, static_cast<uint32_t>(rc));
      result = rc;
    }
  }
  OwedDeletes owed;
  if (rename && result == kOk) {
    // Written since it moved, while its rename waited here: the rename
    // carries none of that content, so taking it leaves the file as it was.
    PlaceholderManager* manager = engine.placeholder_manager.get();
    const std::u16string target = root + record.NewPath;
    const platform::CF_PLACEHOLDER_STATE state =
        manager != nullptr && record.IsDir == 0 ? manager->GetPlaceholderState(target.c_str())
                                                : platform::CF_PLACEHOLDER_STATE_IN_SYNC;
    const bool written = state != platform::CF_PLACEHOLDER_STATE_INVALID &&
                         (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) != 0 &&
                         (state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) == 0;
    const int32_t moved = FinishLocalRename(engine, root, record.Path, record.NewPath, task->RenameInfo.get());
    if (moved != kOk) result = moved;
    if (moved == kOk && written) {
      DoSetPlaceholderSyncState(engine, record.NewPath, false);
      engine.local_changes.OfferContentAfterRename(engine, record.NewPath);
    }
    if (moved == kOk && record.IsDir != 0) engine.local_changes.WalkMovedFolder(engine, record.NewPath);
    if (moved == kOk) owed = TakeDeletedBelow(*task);
  }
  if (record.OpType == kOpDelete && DeleteLeftNothing(result)) {
    // The host has dropped the item and whatever was below it: a folder made
    // again at the name is new to it.
    ForgetDeletedItem(engine, root, record.Path);
  }
  if (result != kOk && result != kErrRetry &&
      (record.OpType == kOpCreate || record.OpType == kOpUpdate || rename)) {
    // The host never took the change: the item is offered again on its next
    // change, as after a first answer that fails.
    if (record.OpType == kOpCreate) engine.metadata_cache.SetCreateFailed(record.Path, true);
    if (rename) {
      RefusedRename(engine, root, record.Path, record.NewPath, record.IsDir != 0, result);
    } else {
      SetTreeNotInSync(engine, root, key, false);
    }
  }
  if (record.OpType == kOpList && result == kOk) {
    // The listing creates the placeholders and removes the task.
    const int32_t listed = ProcessListing(engine, task->TaskId, true);
    if (listed != kOk) result = listed;
    return result;
  }
  engine.tasks.RemoveTask(task, task->TaskId, false);
  // Told once the rename's task is gone: a delete below waits for the answer
  // of a rename to its folder that is still registered.
  TellDeletedBelow(engine, root, owed);
  return result;
}

int32_t RetryRead(Engine& engine, RetryRecord& record) {
  Task* task = nullptr;
  const int32_t found = engine.tasks.FindTask(record.TaskId, false, &task);
  if (found != kOk || task == nullptr || task->OperationType != OP_READ_DATA || task->Cancelled.load() != 0) {
    if (task != nullptr) engine.tasks.ReleaseTask(task);
    return kErrCancelled;  // anything but the retry code drops the record
  }
  int32_t result = kOk;
  DoGetItemData(engine, *task, record.Path, record.Offset, record.Length, result);
  if (result == kErrPending) {
    Log(engine.diag.log_sink(), kLogVerbose, u"GetItemData retry fired in async mode");
    if (engine.settings.event_retry_interval.load() > 0) {
      RecursiveMutexLock lock(task->TaskLock);
      task->RetryRecord = std::make_unique<RetryRecord>(record);
    }
  }
  task->LeaveHandler();
  engine.tasks.ReleaseTask(task);
  return result;
}

}  // namespace

RetryQueue& RetryQueueOf(Engine& engine) {
  std::call_once(engine.retry_queue_once, [&] { engine.retry_queue = MakeOwned<RetryQueue>(); });
  return *engine.retry_queue;
}

bool FoldIntoQueuedCreate(Engine& engine, std::u16string_view path, bool is_dir, uint32_t attributes, int64_t size,
                          int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  if (engine.settings.event_retry_interval.load() < 1) return false;
  RetryRecord now;
  now.Value2 = attributes;
  now.Size = static_cast<uint64_t>(size);
  now.CreationTime = static_cast<uint64_t>(creation_time);
  now.LastAccessTime = static_cast<uint64_t>(last_access_time);
  now.LastWriteTime = static_cast<uint64_t>(last_write_time);
  return RetryQueueOf(engine).RefreshCreate(path, is_dir, now);
}

void FollowQueuedFolderRename(Engine& engine, std::u16string_view from, std::u16string_view to) {
  SetMissedMarksAgain(engine, from, to);
  if (engine.settings.event_retry_interval.load() < 1) return;
  RetryQueueOf(engine).MoveUnder(from, to);
}

bool RemoveFromRetryQueue(Engine& engine, std::u16string_view path, bool is_dir, bool* held_create) {
  if (held_create != nullptr) *held_create = false;
  if (engine.settings.event_retry_interval.load() < 1) return false;
  return RetryQueueOf(engine).RemoveByPath(path, is_dir, held_create);
}

int32_t SetInSyncThroughManager(Engine& engine, const std::u16string& root, std::u16string_view path,
                                bool in_sync) {
  if (!engine.placeholder_manager) return kErrNotReady;
  const std::u16string full = root + std::u16string(path);
  PlaceholderStatesRequest request;
  request.path = full.c_str();
  request.what_to_set = kSetInSyncState;
  request.in_sync_state = in_sync ? platform::CF_IN_SYNC_STATE_IN_SYNC : platform::CF_IN_SYNC_STATE_NOT_IN_SYNC;
  return static_cast<int32_t>(engine.placeholder_manager->SetPlaceholderStates(&request));
}

namespace {

// A change of the item seen meanwhile decides under the item's report lock
// whether the item is new or this create's, so the create is offered while
// that lock is held: the two never both tell the item as new. The watcher
// holds it while it waits for this queue: the create then stays for the
// next pass, and the watcher's report goes with it.
int32_t RetryCreate(Engine& engine, const std::u16string& root, const RetryRecord& record) {
  if (!engine.item_reports.TryLockItem(record.Path)) return kErrRetry;
  const int32_t result = RetryWithNewTask(engine, root, record);
  engine.item_reports.UnlockItem(record.Path);
  return result;
}

}  // namespace

void RunRetryPass(Engine& engine, const std::u16string& root) {
  const int32_t interval = engine.settings.event_retry_interval.load();
  if (interval <= 0) return;
  RetryQueueOf(engine).Walk([&](RetryRecord& record) {
    if (CurrentTimeMs() - record.QueuedAt <= interval) return RetryQueue::Outcome::kKeep;
    if (record.OpType == kOpList && engine.ProbeItem(record.Path) != ItemKind::kFolder) {
      // Deleted since (by the host, or the user): nothing is left to fill,
      // and a rename of a folder above would name a folder the host no
      // longer has.
      LogF(engine.diag.log_sink(), kLogVerbose, u"Queued listing of '%s' dropped: the folder is gone", record.Path);
      return RetryQueue::Outcome::kDrop;
    }
    if (record.OpType == kOpDelete && engine.ProbeItem(record.Path) != ItemKind::kMissing) {
      // Made again since: its own change reaches the host, the old delete must not.
      LogF(engine.diag.log_sink(), kLogVerbose, u"Queued delete of '%s' dropped: the item exists again",
           record.Path);
      return RetryQueue::Outcome::kDrop;
    }
    // The host refused the item's create since: the update would name
    // nothing it has (a host whose update makes a missing item would keep
    // one the user may move or delete unseen). The item goes as new instead,
    // as the watcher offers a refused item whose content changed.
    bool create_refused = false;
    if (record.OpType == kOpUpdate && engine.metadata_cache.GetCreateFailed(record.Path, &create_refused) &&
        create_refused) {
      LogF(engine.diag.log_sink(), kLogVerbose, u"Queued update of '%s' goes as a create: the host refused its create",
           record.Path);
      record.OpType = kOpCreate;
      record.Value1 = 0;
    }
    // The host made its own item at the new name, and the watcher has not
    // reached its record: the records before it may show the renamed item
    // moving on, which renames this move. Told now, it would put the item
    // over the host's.
    if (record.OpType == kOpRename &&
        (engine.unseen_creations.Contains(record.NewPath) || engine.unseen_creations.BeingMade(record.NewPath)))
      return RetryQueue::Outcome::kKeep;
    if (record.OpType == kOpRename && AnotherItemAtNewName(engine, root, record)) {
      // What the host has at the new name was told as an item of its own
      // since (the moved one removed and another made there while stopped,
      // or offered as new by a walk): moving the old one there would put it
      // over that. What the host still has at the old name is gone here.
      if (engine.ProbeItem(record.Path) != ItemKind::kMissing) {
        LogF(engine.diag.log_sink(), kLogVerbose,
             u"Queued rename of '%s' to '%s' dropped: other items have both names", record.Path, record.NewPath);
        return RetryQueue::Outcome::kDrop;
      }
      LogF(engine.diag.log_sink(), kLogVerbose,
           u"Queued rename of '%s' to '%s' is a delete now: another item has the new name", record.Path,
           record.NewPath);
      record.OpType = kOpDelete;
      record.NewPath.clear();
      record.Value1 = 0;
    }
    // A folder above moves or goes once the host answers: the record is
    // named anew then (after this walk), so it waits for the next one,
    // however slow the host is (told now, it would name the old place).
    // A rename's new name counts as much as its old one.
    if (UnansweredAbove(engine, record.Path, true) ||
        (record.OpType == kOpRename && UnansweredAbove(engine, record.NewPath, true)))
      return RetryQueue::Outcome::kKeep;
    int32_t result = kOk;
    switch (record.OpType) {
      case kOpCreate: result = RetryCreate(engine, root, record); break;
      case kOpDelete:
      case kOpUpdate:
      case kOpRename:
      case kOpList: result = RetryWithNewTask(engine, root, record); break;
      case kOpReadData: result = RetryRead(engine, record); break;
      default:
        LogF(engine.diag.log_sink(), kLogCloudTrace, u"CheckRetryQueueProc: unknown op type %d, skipping",
             I32(record.OpType));
        return RetryQueue::Outcome::kDrop;
    }
    if (result == kErrRetry) {
      record.QueuedAt = CurrentTimeMs();
      return RetryQueue::Outcome::kKeep;
    }
    return RetryQueue::Outcome::kDrop;
  });
}

namespace {

void SetChildrenNotInSync(Engine& engine, const std::u16string& root, const std::u16string& folder) {
  platform::WIN32_FIND_DATAW data;
  const std::u16string pattern = root + folder + u"\\*";
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string name = data.cFileName;
    if (name == u"." || name == u"..") continue;
    const std::u16string path = folder + u"\\" + name;
    SetTreeNotInSync(engine, root, path, false);
    const bool link = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) &&
                      data.dwReserved0 == platform::IO_REPARSE_TAG_SYMLINK;
    if ((data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) && !link)
      SetChildrenNotInSync(engine, root, path);
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
}

}  // namespace

void SetTreeNotInSync(Engine& engine, const std::u16string& root, const std::u16string& path, bool with_content) {
  const int32_t hr = SetInSyncThroughManager(engine, root, path, false);
  if (hr != 0) {
    LogF(engine.diag.log_sink(), kLogFailure,
         u"Failed to set placeholder sync state to false: '%s'. OS error code: 0x%x", path, static_cast<uint32_t>(hr));
    if (platform::GetFileAttributesW((root + path).c_str()) == platform::INVALID_FILE_ATTRIBUTES) {
      engine.missed_marks.Note(path, with_content);
      return;
    }
  }
  if (with_content) SetChildrenNotInSync(engine, root, path);
}

void SetMissedMarksAgain(Engine& engine, std::u16string_view from, std::u16string_view to) {
  const std::u16string root = engine.EffectiveSyncRootPath();
  for (const MissedMarks::Mark& mark : engine.missed_marks.TakeMoved(from, to))
    SetTreeNotInSync(engine, root, mark.path, mark.with_content);
}

}  // namespace corvane
