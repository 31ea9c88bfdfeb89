#include "server_snapshot.h"

#include <algorithm>
#include <set>

namespace mirror {
namespace {

size_t Depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

bool IsInside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

void ScanFolder(const std::string& server_root, const std::string& relative, Snapshot& out) {
  std::vector<std::string> names;
  if (!ReadFolder(JoinPath(server_root, relative), names)) return;
  for (const std::string& name : names) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    ServerItem item;
    if (!StatItem(JoinPath(server_root, path), item)) continue;
    out[path] = item;
    if (item.is_folder) ScanFolder(server_root, path, out);
  }
}

bool ByDepthThenName(const std::string& a, const std::string& b) {
  const size_t da = Depth(a), db = Depth(b);
  return da != db ? da < db : a < b;
}

}  // namespace

Snapshot ScanServer(const std::string& server_root) {
  Snapshot out;
  ScanFolder(server_root, "", out);
  return out;
}

std::vector<ServerChange> DiffSnapshots(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> gone, fresh;
  for (const auto& [path, item] : before) {
    auto it = after.find(path);
    if (it == after.end() || it->second.is_folder != item.is_folder) gone.push_back(path);
  }
  for (const auto& [path, item] : after) {
    auto it = before.find(path);
    if (it == before.end() || it->second.is_folder != item.is_folder) fresh.push_back(path);
  }
  std::sort(gone.begin(), gone.end(), ByDepthThenName);
  std::sort(fresh.begin(), fresh.end(), ByDepthThenName);

  std::vector<ServerChange> renames, removals, additions, updates;
  std::set<std::string> fresh_taken;
  std::map<uint64_t, std::string> fresh_by_inode;
  for (const std::string& path : fresh) fresh_by_inode.emplace(after.at(path).inode, path);
  std::vector<std::pair<std::string, std::string>> moved_folders;  // old -> new
  std::vector<std::string> removed_folders;

  for (const std::string& path : gone) {
    const ServerItem& old_item = before.at(path);
    // Inside a folder that is removed as a whole: nothing more to say.
    if (std::any_of(removed_folders.begin(), removed_folders.end(),
                    [&](const std::string& f) { return IsInside(path, f); }))
      continue;
    // Inside a folder that moved: it moved along, unless it changed too.
    auto moved = std::find_if(moved_folders.begin(), moved_folders.end(),
                              [&](const auto& m) { return IsInside(path, m.first); });
    if (moved != moved_folders.end()) {
      const std::string carried = moved->second + path.substr(moved->first.size());
      auto now = after.find(carried);
      if (now != after.end() && now->second.inode == old_item.inode) {
        fresh_taken.insert(carried);
        if (!now->second.is_folder &&
            (now->second.size != old_item.size || now->second.mtime_ns != old_item.mtime_ns))
          updates.push_back({ServerChange::kModified, carried, "", now->second});
      } else {
        removals.push_back({ServerChange::kRemoved, carried, "", old_item});
        if (old_item.is_folder) removed_folders.push_back(path);
      }
      continue;
    }
    auto same = fresh_by_inode.find(old_item.inode);
    if (same != fresh_by_inode.end() && !fresh_taken.count(same->second) &&
        after.at(same->second).is_folder == old_item.is_folder) {
      const ServerItem& now = after.at(same->second);
      fresh_taken.insert(same->second);
      renames.push_back({ServerChange::kRenamed, path, same->second, now});
      if (old_item.is_folder) moved_folders.emplace_back(path, same->second);
      else if (now.size != old_item.size || now.mtime_ns != old_item.mtime_ns)
        updates.push_back({ServerChange::kModified, same->second, "", now});
      continue;
    }
    removals.push_back({ServerChange::kRemoved, path, "", old_item});
    if (old_item.is_folder) removed_folders.push_back(path);
  }
  for (const std::string& path : fresh) {
    if (!fresh_taken.count(path)) additions.push_back({ServerChange::kAdded, path, "", after.at(path)});
  }
  for (const auto& [path, item] : after) {
    auto it = before.find(path);
    if (it == before.end() || item.is_folder || it->second.is_folder) continue;
    // A replace by rename gives a new inode with possibly the same size and time.
    if (item.size != it->second.size || item.mtime_ns != it->second.mtime_ns || item.inode != it->second.inode)
      updates.push_back({ServerChange::kModified, path, "", item});
  }

  std::vector<ServerChange> out;
  for (auto* group : {&renames, &removals, &additions, &updates})
    out.insert(out.end(), group->begin(), group->end());
  return out;
}

void ServerIndex::Reset(Snapshot snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_ = std::move(snapshot);
  touched_.clear();
}

uint64_t ServerIndex::Generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void ServerIndex::Touch(const std::string& path) { touched_[path] = ++generation_; }

bool ServerIndex::TouchedSince(const std::string& path, uint64_t generation) const {
  // The item itself, a folder above it, or an item below it was written.
  for (const auto& [touched, when] : touched_) {
    if (when <= generation) continue;
    if (touched == path || IsInside(path, touched) || IsInside(touched, path)) return true;
  }
  return false;
}

void ServerIndex::RecordWrite(const std::string& path, const ServerItem& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_[path] = item;
  Touch(path);
}

void ServerIndex::RecordRemoval(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = known_.begin(); it != known_.end();) {
    if (it->first == path || IsInside(it->first, path)) it = known_.erase(it);
    else ++it;
  }
  Touch(path);
}

void ServerIndex::RecordRename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  Snapshot moved;
  for (auto it = known_.begin(); it != known_.end();) {
    if (it->first == from || IsInside(it->first, from)) {
      moved[to + it->first.substr(from.size())] = it->second;
      it = known_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, item] : moved) known_[path] = item;
  Touch(from);
  Touch(to);
}

std::vector<ServerChange> ServerIndex::Reconcile(const Snapshot& scan, uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  Snapshot before, after;
  for (const auto& [path, item] : known_)
    if (!TouchedSince(path, generation)) before[path] = item;
  for (const auto& [path, item] : scan)
    if (!TouchedSince(path, generation)) after[path] = item;
  std::vector<ServerChange> changes = DiffSnapshots(before, after);
  for (const auto& [path, item] : before) known_.erase(path);
  for (const auto& [path, item] : after) known_[path] = item;
  // Writes older than this scan are in it now; forget them.
  for (auto it = touched_.begin(); it != touched_.end();) {
    if (it->second <= generation) it = touched_.erase(it);
    else ++it;
  }
  return changes;
}

}  // namespace mirror
