#include "engine/event_bridges.h"

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/host_events.h"
#include "engine/retry_passes.h"
#include "engine/task.h"
#include "support/sync_root_path.h"

namespace corvane {
namespace {

constexpr uint32_t kEventErrorUnset = 0xFFFFFFFF;

uint64_t U64(int64_t value) { return static_cast<uint64_t>(value); }

// Steps every bridge shares once it has logged its call: a clean event
// error, HandlerLock, the event itself, the answer and its log line.
template <class FireEvent>
int32_t FireWithTask(Engine& engine, Task* task, std::u16string_view handler, const std::u16string& path,
                     int32_t& result, FireEvent&& fire) {
  engine.diag.ClearEventError();
  if (task != nullptr) task->EnterHandler();
  bool threw = false;
  if (engine.events != nullptr) {
    try {
      engine.events->BeforeEvent(engine.code_page.load());
      std::forward<FireEvent>(fire)(*engine.events);
    } catch (...) {
      threw = true;
    }
  }
  result = EventResult(engine, result, threw);
  LogHandlerOutcome(engine, handler, path, result);
  return 1;
}

// How long an unanswered rename or delete holds back the events after it.
constexpr int64_t kAnswerHoldMs = 10000;

// `any_age`: however long ago the task was told (a check that only keeps a
// record back, and never waits, need not give up on a slow host).
bool Holds(const Task& task, const Task* self, bool any_age = false) {
  const int64_t started = task.StartTime.load();
  return &task != self && task.Cancelled.load() == 0 &&
         (any_age || started == 0 || CurrentTimeMs() - started < kAnswerHoldMs);
}

}  // namespace

bool RenameFromUnanswered(Engine& engine, std::u16string_view path, const Task* self, bool any_age) {
  // Renames are known by their target; their sources need a walk.
  TaskRegistry::Lock lock(engine.tasks);
  for (size_t i = 0, n = engine.tasks.CountLocked(); i < n; ++i) {
    Task* task = engine.tasks.AcquireAtLocked(i);
    const bool holds = task->OperationType == OP_RENAME && task->RenameInfo && task->RenameInfo->SourcePath == path &&
                       Holds(*task, self, any_age);
    engine.tasks.ReleaseLocked(task);
    if (holds) return true;
  }
  return false;
}

namespace {

// A task of `type` keyed by `key` (all of them: the asking rename is keyed
// by its target too) that still holds back the events after it.
bool UnansweredOfType(Engine& engine, std::u16string_view key, int32_t type, const Task* self,
                      bool any_age = false) {
  TaskRegistry::Lock lock(engine.tasks);
  std::vector<Task*> found;
  engine.tasks.AcquireAllByKeyLocked(key, type, found);
  bool holds = false;
  for (Task* task : found) {
    holds = holds || Holds(*task, self, any_age);
    engine.tasks.ReleaseLocked(task);
  }
  return holds;
}

}  // namespace

bool DeleteUnansweredAt(Engine& engine, std::u16string_view path, const Task* self) {
  return UnansweredOfType(engine, path, OP_DELETE, self);
}

namespace {

// A rename to or from `key`, or a delete of it, that the host has not
// answered yet (and not for longer than the hold): until it answers, the
// host does not have the name, or still has the item the user moved or
// replaced; the late answer would then move or delete what an event made
// there meanwhile.
const char16_t* UnansweredAt(Engine& engine, std::u16string_view key, const Task* self, bool sources = true,
                             bool any_age = false) {
  for (const int32_t type : {OP_RENAME, OP_DELETE})
    if (UnansweredOfType(engine, key, type, self, any_age)) return type == OP_RENAME ? u"rename to" : u"delete of";
  return sources && RenameFromUnanswered(engine, key, self, any_age) ? u"rename of" : nullptr;
}

// Waits, until `until`, while a rename to or from `key` or a delete of it
// waits for the host; false once the time is up or the component stops.
bool AwaitAnswerUntil(Engine& engine, const Task* self, std::u16string_view key, std::u16string_view path,
                      int64_t until, bool sources = true) {
  for (bool told = false; const char16_t* what = UnansweredAt(engine, key, self, sources); told = true) {
    if (engine.state.deactivating.load() != 0 || CurrentTimeMs() >= until) return false;
    if (!told)
      LogF(engine.diag.log_sink(), kLogVerbose, u"Event for '%s' waits for the host's answer to the %s '%s'", path,
           what, key);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Waits until no rename to or from `path` or a folder above it (only above,
// with `strict`), and no delete of one, waits for the host, so events reach
// the host in the order the changes were made.
void AwaitAnswersAbove(Engine& engine, const Task* self, std::u16string_view path, bool strict) {
  const int64_t until = CurrentTimeMs() + kAnswerHoldMs;
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() ? path[end] != u'\\' : strict) continue;
    if (!AwaitAnswerUntil(engine, self, path.substr(0, end), path, until)) return;
  }
}

// A rename or delete below `folder` that the host has not answered.
bool UnansweredBelow(Engine& engine, std::u16string_view folder, const Task* self) {
  TaskRegistry::Lock lock(engine.tasks);
  for (size_t i = 0, n = engine.tasks.CountLocked(); i < n; ++i) {
    Task* task = engine.tasks.AcquireAtLocked(i);
    const bool below =
        (task->OperationType == OP_DELETE && IsBelowFolder(task->Path, folder)) ||
        (task->OperationType == OP_RENAME && task->RenameInfo &&
         (IsBelowFolder(task->RenameInfo->SourcePath, folder) || IsBelowFolder(task->RenameInfo->TargetPath, folder)));
    const bool holds = below && Holds(*task, self);
    engine.tasks.ReleaseLocked(task);
    if (holds) return true;
  }
  return false;
}

// A rename waits until the host has answered a create or update of the item
// it moves: a host that applies such a late job where the item was when it
// was told would write to the name this rename empties (or to what comes to
// it later), and the item's new name would keep the old content.
void AwaitContentAnswerAt(Engine& engine, const Task& self, std::u16string_view path) {
  const int64_t until = CurrentTimeMs() + kAnswerHoldMs;
  for (bool told = false; UnansweredOfType(engine, path, OP_WRITE_DATA, &self) ||
                          UnansweredOfType(engine, path, OP_CREATE, &self);
       told = true) {
    if (engine.state.deactivating.load() != 0 || CurrentTimeMs() >= until) return;
    if (!told)
      LogF(engine.diag.log_sink(), kLogVerbose, u"Rename of '%s' waits for the host's answer to its change", path);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A folder's rename or delete waits until the host has answered the renames
// and deletes it was told of inside it: their late answers name the paths
// the folder had, and would fail or land elsewhere once it moved.
void AwaitAnswersBelow(Engine& engine, const Task& self, std::u16string_view folder) {
  const int64_t until = CurrentTimeMs() + kAnswerHoldMs;
  for (bool told = false; UnansweredBelow(engine, folder, &self); told = true) {
    if (engine.state.deactivating.load() != 0 || CurrentTimeMs() >= until) return;
    if (!told)
      LogF(engine.diag.log_sink(), kLogVerbose, u"Event for folder '%s' waits for the host's answers inside it",
           folder);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The host's item at `path` is about to move or go while an item here still
// needs data the host holds only there: until that is fetched, the event
// waits in the retry queue as if the host had asked to see it again.
bool HeldForStrandedData(Engine& engine, std::u16string_view path, int32_t& result) {
  if (FetchStrandedData(engine, path)) return false;
  result = kErrRetry;
  return true;
}

}  // namespace

bool UnansweredAbove(Engine& engine, std::u16string_view path, bool any_age) {
  for (size_t end = 1; end < path.size(); ++end)
    if (path[end] == u'\\' && UnansweredAt(engine, path.substr(0, end), nullptr, true, any_age) != nullptr)
      return true;
  return false;
}

bool WalkWhenMoveAboveAnswered(Engine& engine, std::u16string_view path, const std::u16string& folder) {
  std::vector<Task*> moves;
  {
    TaskRegistry::Lock lock(engine.tasks);
    for (size_t i = 0, n = engine.tasks.CountLocked(); i < n; ++i) {
      Task* task = engine.tasks.AcquireAtLocked(i);
      if (task->OperationType == OP_RENAME && task->RenameInfo && IsBelowFolder(path, task->RenameInfo->SourcePath) &&
          Holds(*task, nullptr, true)) {
        moves.push_back(task);
      } else {
        engine.tasks.ReleaseLocked(task);
      }
    }
  }
  bool noted = false;
  for (Task* task : moves) {
    {
      // The answer is set under this lock, and the walks are read after it.
      RecursiveMutexLock task_lock(task->TaskLock);
      if (!noted && task->Completed.load() == 0) {
        task->RenameInfo->WalkWhenAnswered.push_back(folder);
        noted = true;
      }
    }
    engine.tasks.ReleaseTask(task);
  }
  return noted;
}

bool AwaitAnswersAbove(Engine& engine, std::u16string_view path) {
  if (!UnansweredAbove(engine, path)) return false;
  AwaitAnswersAbove(engine, nullptr, path, true);
  return true;
}

void AwaitAnswerAt(Engine& engine, std::u16string_view path, bool sources) {
  AwaitAnswerUntil(engine, nullptr, path, path, CurrentTimeMs() + kAnswerHoldMs, sources);
}

int32_t EventResult(Engine& engine, int32_t result, bool threw) {
  if (threw) return kErrInternalError;
  const int32_t event_error = engine.diag.EventErrorCode();
  if (event_error == 0) return result;
  return static_cast<uint32_t>(event_error) == kEventErrorUnset ? kErrInternalError : event_error;
}

void LogHandlerOutcome(Engine& engine, std::u16string_view handler, std::u16string_view path, int32_t result) {
  LogSink* sink = engine.diag.log_sink();
  if (result == kOk) return;
  if (result == kErrPending) {
    LogF(sink, kLogMilestone, u"'%s' event handler switched to the asynchronous mode for '%s'", handler, path);
  } else if (result == kErrRetry) {
    LogF(sink, kLogMilestone, u"'%s' event handler returned retry code for '%s'", handler, path);
  } else {
    LogF(sink, kLogFailure, u"'%s' event handler failed for '%s'", handler, path);
    LogF(sink, kLogFailure, u"Event handler error code: 0x%x", static_cast<uint32_t>(result));
  }
}

int32_t DoCreate(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t attributes,
                 int64_t size, int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                 int32_t& result) {
  if (engine.pending.CheckPendingOrRemove(path, kOpCreate, is_dir)) return 0;
  AwaitAnswersAbove(engine, &task, path, false);
  if (HeldForStrandedData(engine, path, result)) return 1;
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoCreate called for '%s', TaskId: %I64u", path, U64(task.TaskId));
  return FireWithTask(engine, &task, u"Create", path, result, [&](EventInterface& events) {
    if (is_dir) {
      events.FireCreateFolder(task.TaskId, path, attributes, creation_time, last_access_time, last_write_time,
                              result);
    } else {
      events.FireCreateFile(task.TaskId, path, attributes, size, creation_time, last_access_time,
                            last_write_time, result);
    }
  });
}

int32_t DoUpdate(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t update_flags,
                 int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                 int64_t last_write_time, int32_t& result) {
  if (engine.pending.CheckPendingOrRemove(path, kOpUpdate, is_dir)) return 0;
  AwaitAnswersAbove(engine, &task, path, false);
  // New content replaces what the host holds there, which a stranded item
  // may still need.
  if (!is_dir && HeldForStrandedData(engine, path, result)) return 1;
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoUpdate called for '%s', TaskId: %I64u", path, U64(task.TaskId));
  return FireWithTask(engine, &task, u"Update", path, result, [&](EventInterface& events) {
    if (is_dir) {
      events.FireUpdateFolder(task.TaskId, path, update_flags, attributes, creation_time, last_access_time,
                              last_write_time, result);
    } else {
      events.FireUpdateFile(task.TaskId, path, update_flags, attributes, size, creation_time, last_access_time,
                            last_write_time, result);
    }
  });
}

int32_t DoRename(Engine& engine, Task& task, const std::u16string& path, const std::u16string& new_path,
                 bool is_dir, int32_t& result) {
  AwaitAnswersAbove(engine, &task, path, false);
  AwaitAnswersAbove(engine, &task, new_path, true);
  // A rename to the target, away from it or a delete of it that the host
  // answers late would land on what this rename put there: a host that
  // moves its item off the name only when it answers moves this one.
  AwaitAnswerUntil(engine, &task, new_path, new_path, CurrentTimeMs() + kAnswerHoldMs);
  if (is_dir) AwaitAnswersBelow(engine, task, path);
  if (!is_dir) AwaitContentAnswerAt(engine, task, path);
  // Moved onto a name a stranded item's data is still read from, the host
  // would serve this item's bytes for it.
  if (HeldForStrandedData(engine, path, result) || HeldForStrandedData(engine, new_path, result)) return 1;
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoRename called for '%s', NewPath: '%s', TaskId: %I64u", path,
       new_path, U64(task.TaskId));
  return FireWithTask(engine, &task, u"Rename", path, result, [&](EventInterface& events) {
    if (is_dir) {
      events.FireRenameFolder(task.TaskId, path, new_path, result);
    } else {
      events.FireRenameFile(task.TaskId, path, new_path, result);
    }
  });
}

bool AwaitCreateAnswerAt(Engine& engine, std::u16string_view path, const Task* self) {
  const int64_t until = CurrentTimeMs() + kAnswerHoldMs;
  bool told = false;
  for (; UnansweredOfType(engine, path, OP_CREATE, self); told = true) {
    if (engine.state.deactivating.load() != 0 || CurrentTimeMs() >= until) break;
    if (!told)
      LogF(engine.diag.log_sink(), kLogVerbose, u"Event for '%s' waits for the host's answer to its create", path);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return told;
}

bool HandVersionToUnansweredCreate(Engine& engine, std::u16string_view path, int64_t size, int64_t write_time,
                                   int64_t file_id, int64_t usn) {
  std::vector<Task*> creates;
  {
    TaskRegistry::Lock lock(engine.tasks);
    engine.tasks.AcquireAllByKeyLocked(path, OP_CREATE, creates);
  }
  bool handed = false;
  // The newest create is the one whose answer comes last.
  for (auto it = creates.rbegin(); it != creates.rend(); ++it) {
    Task& create = **it;
    if (!handed && create.StartTime.load() > 0) {
      // Under the lock a cancel copies what the create told: it keeps
      // either version whole.
      RecursiveMutexLock lock(create.TaskLock);
      if (create.Cancelled.load() == 0 && !create.AnswerSettled) {
        create.ReportedSize = size;
        create.ReportedWriteTime = write_time;
        create.ReportedFileId = file_id;
        create.ReportedUsn = usn;
        handed = true;
      }
    }
    engine.tasks.ReleaseTask(&create);
  }
  if (handed)
    LogF(engine.diag.log_sink(), kLogVerbose, u"'%s' is put in sync once the host answers its create", path);
  return handed;
}

bool AwaitAnswersForDelete(Engine& engine, const Task& task, std::u16string_view path, bool is_dir) {
  const bool create_unanswered = UnansweredOfType(engine, path, OP_CREATE, &task);
  const bool unanswered = UnansweredAt(engine, path, &task) != nullptr || UnansweredAbove(engine, path) ||
                          (is_dir && UnansweredBelow(engine, path, &task));
  if (create_unanswered) AwaitCreateAnswerAt(engine, path, &task);
  if (!unanswered) return create_unanswered;
  AwaitAnswersAbove(engine, &task, path, false);
  if (is_dir) AwaitAnswersBelow(engine, task, path);
  return true;
}

int32_t DoDelete(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t flags,
                 int32_t& result) {
  AwaitAnswersForDelete(engine, task, path, is_dir);
  if (HeldForStrandedData(engine, path, result)) return 1;
  LogF(engine.diag.log_sink(), kLogVerbose,
       is_dir ? u"DoDelete folder called for '%s', Flags: %x, TaskId: %I64u"
              : u"DoDelete file called for '%s', Flags: %x, TaskId: %I64u",
       path, static_cast<uint32_t>(flags), U64(task.TaskId));
  return FireWithTask(engine, &task, u"Delete", path, result, [&](EventInterface& events) {
    if (is_dir) {
      events.FireDeleteFolder(task.TaskId, path, flags, result);
    } else {
      events.FireDeleteFile(task.TaskId, path, flags, result);
    }
  });
}

int32_t DoGetItemData(Engine& engine, Task& task, const std::u16string& path, int64_t offset, int64_t length,
                      int32_t& result) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"DoGetItemData called for '%s', TaskId: %I64u", path, U64(task.TaskId));
  LogF(sink, kLogVerbose, u"  Offset: %I64u, Length: %I64u", U64(offset), U64(length));
  return FireWithTask(engine, &task, u"GetItemData", path, result, [&](EventInterface& events) {
    events.FireGetFileData(task.TaskId, path, offset, length, result);
  });
}

int32_t DoListItems(Engine& engine, Task& task, const std::u16string& path, const std::u16string& mask,
                    int32_t& result) {
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoListItems called for '%s', Mask: '%s', TaskId: %I64u", path, mask,
       U64(task.TaskId));
  return FireWithTask(engine, &task, u"ListItems", path, result, [&](EventInterface& events) {
    events.FireListDirectory(task.TaskId, path, mask, result);
  });
}

int32_t DoFileReset(Engine& engine, const std::u16string& path, bool is_dir, int32_t& result) {
  if (engine.pending.CheckPendingOrRemove(path, kOpReset, is_dir)) return 0;
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoFileReset called for '%s'", path);
  return FireWithTask(engine, nullptr, u"FileReset", path, result,
                      [&](EventInterface& events) { events.FireResetFile(-1, path); });
}

}  // namespace corvane
