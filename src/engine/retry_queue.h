// Events the host asked to see again (HALVEX_ERR_RETRY), in the order they
// were queued. The retry thread holds the queue's lock for a whole walk,
// events included; the lock is recursive so that a handler running on that
// thread may still queue or clear records.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/task.h"
#include "support/mutex.h"

namespace corvane {

class RetryQueue {
 public:
  // What the walk does with a record once its event was fired again.
  enum class Outcome { kKeep, kDrop };

  void Append(std::unique_ptr<RetryRecord> record);
  void AppendAll(std::vector<std::unique_ptr<RetryRecord>>& records);
  // Drops every record of `path` (exact, case-sensitive) of that kind;
  // `held_create` tells whether a create was among them.
  bool RemoveByPath(std::u16string_view path, bool is_dir, bool* held_create = nullptr);
  // The queued rename that ends at `target` (the host still has its
  // source): moved on to `new_target`, or dropped when that is empty or
  // the source itself.
  // Returns the rename's source, or nothing when none ends there.
  std::u16string FollowRename(std::u16string_view target, std::u16string_view new_target);
  // Records of items below folder `from` name them below `to`: the host
  // moved them with the folder. A create queued under the old name and one
  // queued since under the new name are one item's: the first stays, with
  // the values of the last.
  void MoveUnder(std::u16string_view from, std::u16string_view to);
  // The queued create of `path`, if any, takes the item's values of now;
  // false when no create of it waits, or a later record of the name (a
  // delete, a rename away) follows it.
  bool RefreshCreate(std::u16string_view path, bool is_dir, const RetryRecord& now);
  // The queued rename or folder create that a change of `path` must follow:
  // the host has no folder above `path` until that record is taken. Empty
  // when none waits.
  std::u16string FolderAwaitedBy(std::u16string_view path) const;
  // A queued rename moves the item of kind `is_dir` away from `path`.
  bool HasRenameFrom(std::u16string_view path, bool is_dir) const;
  // The queued rename of the folder `from` to `to` also tells `deleted`
  // once taken; false when no such rename waits.
  bool OweDeleteAfterRename(std::u16string_view from, std::u16string_view to, const RenameInfo::Deleted& deleted);
  // A queued rename moves an item out from somewhere below `folder`: the
  // host holds it there until that rename is taken.
  bool HasRenameFromBelow(std::u16string_view folder) const;
  // A record of `op_type` for the item of kind `is_dir` at `path` waits.
  bool Holds(int32_t op_type, std::u16string_view path, bool is_dir) const;
  size_t Count() const;
  // Copies of the queued records, oldest first (diagnostics and tests).
  std::vector<RetryRecord> Snapshot() const;

  // Calls `visit` for every record in queue order under the queue lock,
  // except records below a folder whose rename or create is still kept,
  // and deletes of a folder a kept rename moves an item out of: those wait
  // for it.
  void Walk(const std::function<Outcome(RetryRecord&)>& visit);

 private:
  struct Entry {
    std::unique_ptr<RetryRecord> record;
    bool dropped = false;
  };

  // Drops a create that repeats an earlier queued create of the same item.
  void MergeRepeatedCreates() REQUIRES(mutex_);

  mutable RecursiveMutex mutex_;
  std::list<Entry> entries_ GUARDED_BY(mutex_);
  // While a walk runs, removals only mark entries so its position stays valid.
  int walking_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvane
