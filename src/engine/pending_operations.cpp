#include "engine/pending_operations.h"

#include "diag/log.h"
#include "engine/task.h"

namespace corvane {
namespace {

constexpr char16_t kSeparator = u'\\';

std::u16string KeyFor(std::u16string_view path, bool is_dir) {
  std::u16string key(path);
  if (is_dir && (key.empty() || key.back() != kSeparator)) key.push_back(kSeparator);
  return key;
}

// "a\b\c" -> "a\b\", "a\b\" -> "a\"; false when no separator is left.
bool CutToParent(std::u16string& key) {
  if (!key.empty() && key.back() == kSeparator) key.pop_back();
  size_t last = key.rfind(kSeparator);
  if (last == std::u16string::npos) return false;
  key.resize(last + 1);
  return true;
}

const char16_t* YesNo(bool value) { return value ? u"true" : u"false"; }

}  // namespace

PendingOperations::PendingOperations(LogSink* sink, const std::atomic<bool>& enabled)
    : sink_(sink), enabled_(enabled) {}

bool PendingOperations::AddPending(std::u16string_view path, int32_t op_type, bool is_dir, std::u16string_view target) {
  LogF(sink_, kLogVerbose, u"AddPending Path(%s), IsDir(%s), OpType(%d)", path, YesNo(is_dir), op_type);
  if (!enabled_.load() || !ValidOpType(op_type)) return false;
  Set& set = sets_[static_cast<size_t>(op_type)];
  MutexLock lock(set.mutex);
  const int64_t now = CurrentTimeMs();
  auto [it, inserted] = set.keys.emplace(KeyFor(path, is_dir), Mark{1u, now, std::u16string(target)});
  if (!inserted) {
    if (op_type == kOpUpdate) ++it->second.count;
    it->second.made_ms = now;
    it->second.target.assign(target);
  }
  return true;
}

bool PendingOperations::CheckPendingOrRemove(std::u16string_view path, int32_t op_type, bool is_dir,
                                             std::u16string_view target) {
  LogF(sink_, kLogVerbose, u"CheckPendingOrRemove Path(%s), IsDir(%s), OpType(%d)", path, YesNo(is_dir), op_type);
  if (!enabled_.load() || !ValidOpType(op_type)) return false;
  Set& set = sets_[static_cast<size_t>(op_type)];
  MutexLock lock(set.mutex);
  std::u16string key = KeyFor(path, is_dir);
  const int64_t now = CurrentTimeMs();
  auto it = set.keys.find(key);
  if (it != set.keys.end() && now - it->second.made_ms > kMarkLifetimeMs) {
    LogF(sink_, kLogVerbose, u"Mark of '%s' dropped: its change was made too long ago", path);
    set.keys.erase(it);
    it = set.keys.end();
  }
  if (it != set.keys.end() && !target.empty() && !it->second.target.empty() && it->second.target != target) {
    LogF(sink_, kLogVerbose, u"Mark of '%s' is the host's rename to '%s', not to '%s'", path, it->second.target,
         target);
    return false;
  }
  if (it != set.keys.end()) {
    if (op_type != kOpUpdate || --it->second.count == 0) set.keys.erase(it);
    return true;
  }
  // A folder's own update (its times, its attributes) says nothing of its
  // children: an entry it leaves behind must not swallow their edits.
  if (op_type == kOpUpdate) return false;
  while (CutToParent(key)) {
    auto parent = set.keys.find(key);
    if (parent == set.keys.end()) continue;
    if (now - parent->second.made_ms <= kMarkLifetimeMs) return true;
    set.keys.erase(parent);
  }
  return false;
}

bool PendingOperations::RemoveAll(std::u16string_view path, int32_t op_type) {
  LogF(sink_, kLogVerbose, u"RemoveAll Path(%s), OpType(%d)", path, op_type);
  if (!enabled_.load() || !ValidOpType(op_type)) return false;
  Set& set = sets_[static_cast<size_t>(op_type)];
  MutexLock lock(set.mutex);
  if (set.keys.erase(KeyFor(path, false)) != 0) return true;
  return set.keys.erase(KeyFor(path, true)) != 0;
}

void PendingOperations::Clear() {
  for (Set& set : sets_) {
    MutexLock lock(set.mutex);
    set.keys.clear();
  }
}

bool PendingOperations::RenameInto(std::u16string_view path) const {
  const Set& set = sets_[kOpRename];
  MutexLock lock(set.mutex);
  const int64_t now = CurrentTimeMs();
  for (const auto& [key, mark] : set.keys) {
    const std::u16string& target = mark.target;
    if (target.empty() || now - mark.made_ms > kMarkLifetimeMs || path.compare(0, target.size(), target) != 0) continue;
    if (path.size() == target.size() || path[target.size()] == kSeparator) return true;
  }
  return false;
}

uint32_t PendingOperations::CountOf(std::u16string_view path, int32_t op_type, bool is_dir) const {
  if (!ValidOpType(op_type)) return 0;
  const Set& set = sets_[static_cast<size_t>(op_type)];
  MutexLock lock(set.mutex);
  auto it = set.keys.find(KeyFor(path, is_dir));
  return it == set.keys.end() ? 0 : it->second.count;
}

}  // namespace corvane
