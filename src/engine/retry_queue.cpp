#include "engine/retry_queue.h"

#include <algorithm>

#include "engine/pending_operations.h"
#include "support/sync_root_path.h"

namespace corvane {

void RetryQueue::Append(std::unique_ptr<RetryRecord> record) {
  if (!record) return;
  RecursiveMutexLock lock(mutex_);
  entries_.push_back(Entry{std::move(record), false});
}

void RetryQueue::AppendAll(std::vector<std::unique_ptr<RetryRecord>>& records) {
  RecursiveMutexLock lock(mutex_);
  for (auto& record : records)
    if (record) entries_.push_back(Entry{std::move(record), false});
  records.clear();
}

bool RetryQueue::RemoveByPath(std::u16string_view path, bool is_dir, bool* held_create) {
  RecursiveMutexLock lock(mutex_);
  bool removed = false;
  if (held_create != nullptr) *held_create = false;
  for (auto it = entries_.begin(); it != entries_.end();) {
    const bool match = !it->dropped && it->record->Path == path && (it->record->IsDir != 0) == is_dir;
    if (!match) {
      ++it;
      continue;
    }
    removed = true;
    if (held_create != nullptr && it->record->OpType == kOpCreate) *held_create = true;
    if (walking_ > 0) {
      it->dropped = true;
      ++it;
    } else {
      it = entries_.erase(it);
    }
  }
  return removed;
}

std::u16string RetryQueue::FollowRename(std::u16string_view target, std::u16string_view new_target) {
  RecursiveMutexLock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->dropped || it->record->OpType != kOpRename || it->record->NewPath != target) continue;
    std::u16string source = it->record->Path;
    // Moved back to where the host has it: nothing is left to move (told,
    // a rename onto itself, the host may well lose the item).
    if (!new_target.empty() && new_target != source) {
      it->record->NewPath = std::u16string(new_target);
    } else if (walking_ > 0) {
      it->dropped = true;
    } else {
      entries_.erase(it);
    }
    return source;
  }
  return {};
}

namespace {

// `path` with its leading folder `from` replaced by `to`; false when not below `from`.
bool Rebase(std::u16string& path, std::u16string_view from, std::u16string_view to) {
  if (!IsBelowFolder(path, from)) return false;
  path = std::u16string(to) + path.substr(from.size());
  return true;
}

// The folder name the host learns only when this record is taken.
std::u16string_view FolderMadeBy(const RetryRecord& r) {
  if (r.IsDir == 0) return {};
  if (r.OpType == kOpRename) return r.NewPath;
  if (r.OpType == kOpCreate) return r.Path;
  return {};
}

bool WaitsFor(const RetryRecord& r, std::u16string_view folder) {
  return !folder.empty() && (IsBelowFolder(r.Path, folder) || IsBelowFolder(r.NewPath, folder));
}

}  // namespace

std::u16string RetryQueue::FolderAwaitedBy(std::u16string_view path) const {
  RecursiveMutexLock lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.dropped) continue;
    const std::u16string_view folder = FolderMadeBy(*entry.record);
    if (!folder.empty() && IsBelowFolder(path, folder)) return std::u16string(folder);
  }
  return {};
}

bool RetryQueue::HasRenameFrom(std::u16string_view path, bool is_dir) const {
  return Holds(kOpRename, path, is_dir);
}

bool RetryQueue::OweDeleteAfterRename(std::u16string_view from, std::u16string_view to,
                                      const RenameInfo::Deleted& deleted) {
  RecursiveMutexLock lock(mutex_);
  for (Entry& entry : entries_) {
    RetryRecord& r = *entry.record;
    if (entry.dropped || r.OpType != kOpRename || r.IsDir == 0 || r.Path != from || r.NewPath != to) continue;
    r.DeletedBelow.push_back(deleted);
    return true;
  }
  return false;
}

bool RetryQueue::HasRenameFromBelow(std::u16string_view folder) const {
  RecursiveMutexLock lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return !e.dropped && e.record->OpType == kOpRename && IsBelowFolder(e.record->Path, folder);
  });
}

bool RetryQueue::Holds(int32_t op_type, std::u16string_view path, bool is_dir) const {
  RecursiveMutexLock lock(mutex_);
  for (const auto& entry : entries_) {
    const RetryRecord& r = *entry.record;
    if (!entry.dropped && static_cast<int32_t>(r.OpType) == op_type && r.Path == path && (r.IsDir != 0) == is_dir)
      return true;
  }
  return false;
}

void RetryQueue::MoveUnder(std::u16string_view from, std::u16string_view to) {
  RecursiveMutexLock lock(mutex_);
  for (auto& entry : entries_) {
    if (entry.dropped) continue;
    Rebase(entry.record->Path, from, to);
    Rebase(entry.record->NewPath, from, to);
  }
  MergeRepeatedCreates();
}

void RetryQueue::MergeRepeatedCreates() {
  for (auto first = entries_.begin(); first != entries_.end(); ++first) {
    const RetryRecord& r = *first->record;
    if (first->dropped || r.OpType != kOpCreate) continue;
    for (auto later = std::next(first); later != entries_.end();) {
      const RetryRecord& l = *later->record;
      if (later->dropped || (l.Path != r.Path && l.NewPath != r.Path)) {
        ++later;
        continue;
      }
      // A delete or a rename of the name between: a create after it is
      // another item's.
      if (l.OpType != kOpCreate || l.NewPath == r.Path || l.IsDir != r.IsDir) break;
      first->record->Value2 = l.Value2;
      first->record->Size = l.Size;
      first->record->CreationTime = l.CreationTime;
      first->record->LastAccessTime = l.LastAccessTime;
      first->record->LastWriteTime = l.LastWriteTime;
      if (walking_ > 0) {
        later->dropped = true;
        ++later;
      } else {
        later = entries_.erase(later);
      }
    }
  }
}

bool RetryQueue::RefreshCreate(std::u16string_view path, bool is_dir, const RetryRecord& now) {
  RecursiveMutexLock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    RetryRecord& r = *it->record;
    if (it->dropped || r.OpType != kOpCreate || r.Path != path || (r.IsDir != 0) != is_dir) continue;
    // A later record of the name (a delete, a rename away) stands between:
    // what is there now comes after it, not in the create before it.
    const bool later = std::any_of(std::next(it), entries_.end(), [&](const Entry& e) {
      return !e.dropped && (e.record->Path == path || e.record->NewPath == path);
    });
    if (later) return false;
    r.Value2 = now.Value2;
    r.Size = now.Size;
    r.CreationTime = now.CreationTime;
    r.LastAccessTime = now.LastAccessTime;
    r.LastWriteTime = now.LastWriteTime;
    return true;
  }
  return false;
}

size_t RetryQueue::Count() const {
  RecursiveMutexLock lock(mutex_);
  size_t count = 0;
  for (const auto& entry : entries_)
    if (!entry.dropped) ++count;
  return count;
}

std::vector<RetryRecord> RetryQueue::Snapshot() const {
  RecursiveMutexLock lock(mutex_);
  std::vector<RetryRecord> copy;
  for (const auto& entry : entries_)
    if (!entry.dropped) copy.push_back(*entry.record);
  return copy;
}

void RetryQueue::Walk(const std::function<Outcome(RetryRecord&)>& visit) {
  RecursiveMutexLock lock(mutex_);
  ++walking_;
  // Records appended during the walk (by a handler on this thread) wait for
  // the next walk.
  const size_t initial = entries_.size();
  size_t seen = 0;
  std::vector<std::u16string> kept_folders;
  // Names a kept rename moves an item from: the host still holds that item
  // there, so a new item's change at the name, or a move onto it, waits
  // behind the rename.
  std::vector<std::u16string> kept_sources;
  for (auto it = entries_.begin(); it != entries_.end() && seen < initial; ++it, ++seen) {
    if (it->dropped) continue;
    RetryRecord& record = *it->record;
    const std::u16string& arrives_at = record.OpType == kOpRename ? record.NewPath : record.Path;
    const bool behind_rename =
        ((record.OpType == kOpCreate || record.OpType == kOpUpdate || record.OpType == kOpRename) &&
         std::find(kept_sources.begin(), kept_sources.end(), arrives_at) != kept_sources.end()) ||
        (record.OpType == kOpDelete && record.IsDir != 0 &&
         std::any_of(kept_sources.begin(), kept_sources.end(),
                     [&](const std::u16string& source) { return IsBelowFolder(source, record.Path); }));
    if (behind_rename || std::any_of(kept_folders.begin(), kept_folders.end(),
                                     [&](const std::u16string& folder) { return WaitsFor(record, folder); })) {
      const std::u16string_view folder = FolderMadeBy(record);
      if (!folder.empty()) kept_folders.emplace_back(folder);
      if (record.OpType == kOpRename) kept_sources.push_back(record.Path);
      continue;
    }
    if (visit(record) == Outcome::kDrop) {
      it->dropped = true;
      continue;
    }
    if (const std::u16string_view folder = FolderMadeBy(record); !folder.empty()) kept_folders.emplace_back(folder);
    if (record.OpType == kOpRename) kept_sources.push_back(record.Path);
  }
  --walking_;
  if (walking_ == 0) entries_.remove_if([](const Entry& entry) { return entry.dropped; });
}

}  // namespace corvane
