// The one way producers raise the events that are tied to a task. Every
// bridge fires its event with the task's TaskId and hands the handler's
// answer back in `result` (passed in with the caller's current value): 0
// done, HALVEX_ERR_PENDING the host finishes later with FinalizeTask,
// HALVEX_ERR_RETRY fire again later, anything else a failure.
//
// Each returns 1 when the event was fired and 0 when the pending operations
// list showed that the host made the change itself (nothing fired). A bridge
// that fired returns holding the task's HandlerLock; the producer leaves it
// (Task::LeaveHandler) once it has dealt with the answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class Engine;
class Task;

int32_t DoCreate(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t attributes,
                 int64_t size, int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                 int32_t& result);
int32_t DoUpdate(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t update_flags,
                 int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                 int64_t last_write_time, int32_t& result);
// Rename and delete consult the pending list in their retry wrapper instead.
int32_t DoRename(Engine& engine, Task& task, const std::u16string& path, const std::u16string& new_path,
                 bool is_dir, int32_t& result);
int32_t DoDelete(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t flags,
                 int32_t& result);
int32_t DoGetItemData(Engine& engine, Task& task, const std::u16string& path, int64_t offset, int64_t length,
                      int32_t& result);
int32_t DoListItems(Engine& engine, Task& task, const std::u16string& path, const std::u16string& mask,
                    int32_t& result);
// ResetFile has no task and no result slot: its outcome is the event error
// the handler left.
int32_t DoFileReset(Engine& engine, const std::u16string& path, bool is_dir, int32_t& result);

// Waits (a few seconds at most) while the host has not answered a rename
// to or (with `sources`) from `path`, or a delete of it: what the item at
// `path` is to the host depends on that answer.
void AwaitAnswerAt(Engine& engine, std::u16string_view path, bool sources = true);
// Waits as a delete of `path` must (a rename or delete at or above it, and
// of a folder, those inside it); true when there was anything to wait for.
bool AwaitAnswersForDelete(Engine& engine, const Task& task, std::u16string_view path, bool is_dir);
// The host has not answered a rename or delete of a folder above `path`
// (for no longer than the hold): once it does, `path` may name another place.
// `any_age`: however long ago it was told, and until its answer is applied
// here (for a check that keeps a record back without waiting).
bool UnansweredAbove(Engine& engine, std::u16string_view path, bool any_age = false);
// A folder above `path` has a rename the host has not answered: `folder` is
// walked once it does (taken or refused), and true. False when none has.
bool WalkWhenMoveAboveAnswered(Engine& engine, std::u16string_view path, const std::u16string& folder);
// Waits (a few seconds at most) while UnansweredAbove holds; true when it
// held at first.
bool AwaitAnswersAbove(Engine& engine, std::u16string_view path);
// A rename of the item at `path` to another name waits for the host's answer
// (for no longer than the hold; `self` does not count).
bool RenameFromUnanswered(Engine& engine, std::u16string_view path, const Task* self = nullptr,
                          bool any_age = false);
// A delete of `path` waits for the host's answer (as above).
bool DeleteUnansweredAt(Engine& engine, std::u16string_view path, const Task* self = nullptr);
// Waits (a few seconds at most) while a create of `path` waits for the
// host's answer (`self` does not count); true when one did.
bool AwaitCreateAnswerAt(Engine& engine, std::u16string_view path, const Task* self = nullptr);
// The host took an update of the item at `path` while the item's create is
// still unanswered: the update puts no item on the server before the create
// does (a host may hold it behind the create, and a create refused later
// leaves neither). That create then carries the update's version, which its
// own answer settles; true when it does, and the caller marks nothing.
bool HandVersionToUnansweredCreate(Engine& engine, std::u16string_view path, int64_t size, int64_t write_time,
                                   int64_t file_id, int64_t usn);

// The handler's answer once the calling thread's event error and a thrown
// exception are taken into account.
int32_t EventResult(Engine& engine, int32_t result, bool threw);
// Logs a handler's answer under its name ("Create", "CancelTask", ...).
void LogHandlerOutcome(Engine& engine, std::u16string_view handler, std::u16string_view path, int32_t result);

}  // namespace corvane
