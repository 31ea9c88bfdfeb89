// The retry queue, the async-operation monitor and the expiry check, one
// pass each, so the engine threads and the tests drive the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/task.h"

namespace corvane {

class CacheItem;
class Engine;
class RetryQueue;

// The engine's queue, made on first use.
RetryQueue& RetryQueueOf(Engine& engine);
// Drops every queued retry of `path` of that kind; false when the retry
// interval is off or nothing was queued. `held_create` tells whether a
// create was among them.
bool RemoveFromRetryQueue(Engine& engine, std::u16string_view path, bool is_dir, bool* held_create = nullptr);

// A change of an item whose create waits for a retry goes with that create:
// sent as an update, the host would take it for an item it does not have.
// False when no create of `path` waits.
bool FoldIntoQueuedCreate(Engine& engine, std::u16string_view path, bool is_dir, uint32_t attributes, int64_t size,
                          int64_t creation_time, int64_t last_access_time, int64_t last_write_time);

// RetryQueue::MoveUnder on the engine's queue, after the host accepted the
// rename of folder `from` to `to`.
void FollowQueuedFolderRename(Engine& engine, std::u16string_view from, std::u16string_view to);

// RetryQueue::FollowRename on the engine's queue; empty when retries are off.
std::u16string FollowQueuedRename(Engine& engine, std::u16string_view target, std::u16string_view new_target);

// Fires every due record once.
void RunRetryPass(Engine& engine, const std::u16string& root);

// One monitor slice: looks at up to `batch_size` tasks from `cursor` on and
// returns the next cursor (0 once the last slice was done). `looked_at`
// receives the number of tasks in the slice.
size_t RunMonitorPass(Engine& engine, size_t cursor, size_t batch_size, size_t* looked_at = nullptr);

// Cancels and removes the asynchronous tasks older than `limit_ms`; returns
// how many expired.
size_t RunExpiryPass(Engine& engine, int64_t limit_ms);

// The local side of a rename the host accepted: the cache entry and the
// item's identity move from `source` to `target`. With `info` holding the
// moved item's values, a source entry that no longer shows them belongs to
// another item and stays; the target gets the moved item's values.
int32_t FinishLocalRename(Engine& engine, const std::u16string& root, const std::u16string& source,
                          const std::u16string& target, const RenameInfo* info = nullptr);

// What a start found deleted below a folder whose rename the host took: told
// under the folder's new path.
struct OwedDeletes {
  std::u16string folder;
  std::vector<RenameInfo::Deleted> items;
};
// Taken from the rename `task` the host took; what is found later is told at once.
OwedDeletes TakeDeletedBelow(Task& task);
void TellDeletedBelow(Engine& engine, const std::u16string& root, const OwedDeletes& owed);

// After the host deleted `path`: its cache entries go, and what stands at
// the path again is marked not in sync (unless the host made it itself).
void ForgetDeletedItem(Engine& engine, const std::u16string& root, const std::u16string& path);

// A file's rename from `source` was taken: true when the host has made an
// item of its own there since (the renamed file had `moved_file_id`), whose
// cache entry stays at the name, even where its values are the renamed
// file's. False leaves the caller to take the host's marks off the name.
bool RenameLeavesHostItem(Engine& engine, const std::u16string& source, int64_t moved_file_id);

// The update flags that take an accepted rename's item in: its data and
// transfers stay, and it is marked in sync only if it was in sync when the
// rename was reported.
int32_t RenameTakenFlags(bool source_in_sync);

// The placeholder at `full` (the item renamed from `source`, by its
// identity) is the host's item at `target` now: a rename the host took of an
// item not updated as the renamed one (written since, or the cache did not
// know it), or one the host never had, reported at its new name. Left at the
// old name, its identity would later read as an item the host made at that
// name, or as a rename still to be told at the next start.
void FollowRenameWithIdentity(Engine& engine, const std::u16string& full, const std::u16string& source,
                              const std::u16string& target);

// The file (never a folder) at `path` is to become the host's item there by
// a rename that has not reached the host yet (its identity names another
// name): content of it the host takes now lands on what the rename will
// replace, so it is not the host's once the rename is taken, and the file
// must not be marked in sync for it.
bool RenameOntoItOutstanding(Engine& engine, std::u16string_view path);

// The renamed item (`moved_file_id`, as its record told it) has left
// `target` again: what stands there now is another item, however alike.
bool RenamedItemMovedOn(Engine& engine, const std::u16string& target, int64_t moved_file_id);

// After a rename the host accepted: true when the item at `target` is not
// the one renamed from `source` (`moved`, its cache entry): one known by the
// name itself (made there since), one known by a name it has left (moved
// there since), or a file of another size (the renamed one moved on and
// another took the name, or it was written since). That
// item must not be updated as the renamed one; one made by the host is
// marked not in sync, another file's own records follow and set its state.
// `target_known`: the cache knew `target` before the rename was taken in,
// as it knows all the host makes.
bool AnotherItemTookTheName(Engine& engine, const std::u16string& target, const std::u16string& source,
                            const CacheItem& moved, bool target_known);

// Sets the in-sync state of a relative path through the placeholder manager;
// 0 or the failing HRESULT.
int32_t SetInSyncThroughManager(Engine& engine, const std::u16string& root, std::u16string_view path, bool in_sync);

// Clears the in-sync state of a relative path and, `with_content`, of all a
// folder holds: after a failed rename the host has none of it under these names.
// A path that is gone is kept (MissedMarks) for SetMissedMarksAgain.
void SetTreeNotInSync(Engine& engine, const std::u16string& root, const std::u16string& path, bool with_content);
// Folder `from` is at `to` now (the host took its rename, or it went back):
// what SetTreeNotInSync missed in it is marked where it is.
void SetMissedMarksAgain(Engine& engine, std::u16string_view from, std::u16string_view to);

// The host refused the rename of `source` to `target` (made on disk
// already) with `answer`. An item with data only the server has is moved
// back to `source`, where the host still has it, if that name is free;
// otherwise it stays, out of sync (SetTreeNotInSync), stranded if it holds
// data only the server has.
void RefusedRename(Engine& engine, const std::u16string& root, const std::u16string& source,
                   const std::u16string& target, bool is_dir, int32_t answer);

// Before an event moves or removes what the host holds at `path`, the items
// stranded there by a refused rename fetch the data the host has only there.
// False when some could not be fetched: the event must wait.
bool FetchStrandedData(Engine& engine, std::u16string_view path);

// A file offered to the host as new carries its content, so what of it is
// only on the server must be here first, fetched under the identity it still
// has: once it is offered, the identity names the new path, under which the
// server has nothing. False when some of it could not be had.
bool FetchDataBeforeOfferingAsNew(Engine& engine, const std::u16string& relative_path);

}  // namespace corvane
