#include "core/metadata_cache.h"

#include <utility>
#include <vector>

#include "diag/log.h"
#include "support/sync_root_path.h"

namespace corvane {

std::u16string_view CacheItem::ItemName(std::u16string_view path) const {
  if (other_name_) return *other_name_;
  if (name_length_ > path.size()) return {};
  return path.substr(path.size() - name_length_);
}

void CacheItem::SetItemName(std::u16string_view path, std::u16string_view name) {
  const bool is_suffix = name.size() <= path.size() && path.substr(path.size() - name.size()) == name;
  if (is_suffix) {
    name_length_ = static_cast<uint32_t>(name.size());
    other_name_.reset();
  } else {
    name_length_ = 0;
    other_name_ = std::make_unique<std::u16string>(name);
  }
}

int32_t MetadataCache::AddNewItemToCache(std::u16string_view local_path, std::u16string_view item_name,
                                         uint32_t attributes, int64_t size, uint64_t creation_time,
                                         uint64_t last_access_time, uint64_t last_write_time) {
  LogF(sink_, kLogVerbose, u"AddNewItemToCache LocalPath(%s), ItemName(%s)", local_path, item_name);
  LogF(sink_, kLogVerbose, u"  Attributes(%x), Size(%I64u)", attributes, static_cast<uint64_t>(size));
  LogF(sink_, kLogVerbose, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)", creation_time,
       last_access_time, last_write_time);
  CacheItem item;
  item.Size = size;
  item.CreationTime = creation_time;
  item.LastAccessTime = last_access_time;
  item.LastWriteTime = last_write_time;
  item.Attributes = attributes;
  item.SetItemName(local_path, item_name);
  MutexLock lock(mutex_);
  items_.insert_or_assign(std::u16string(local_path), std::move(item));
  return 0;
}

bool MetadataCache::NoItemInCache(std::u16string_view path) {
  LogF(sink_, kLogVerbose, u"NoItemInCache check for '%s'", path);
  bool absent;
  {
    MutexLock lock(mutex_);
    absent = items_.find(path) == items_.end();
  }
  LogF(sink_, kLogVerbose, u"NoItemInCache check for '%s', result: %s", path, absent ? u"true" : u"false");
  return absent;
}

bool MetadataCache::GetAttributes(std::u16string_view path, uint32_t* attributes) const {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  *attributes = it->second.Attributes;
  return true;
}

bool MetadataCache::GetLocked(std::u16string_view path, bool* locked) const {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  *locked = it->second.Locked != 0;
  return true;
}

bool MetadataCache::SetFlag(std::u16string_view path, uint8_t CacheItem::*flag, bool value) {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  it->second.*flag = value ? 1 : 0;
  return true;
}

bool MetadataCache::SetLocked(std::u16string_view path, bool locked) { return SetFlag(path, &CacheItem::Locked, locked); }

bool MetadataCache::GetCreateFailed(std::u16string_view path, bool* create_failed) const {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  *create_failed = it->second.CreateFailed != 0;
  return true;
}

bool MetadataCache::SetCreateFailed(std::u16string_view path, bool create_failed) {
  return SetFlag(path, &CacheItem::CreateFailed, create_failed);
}

bool MetadataCache::SetBaseReplaced(std::u16string_view path, bool replaced) {
  return SetFlag(path, &CacheItem::BaseReplaced, replaced);
}

bool MetadataCache::UpdateProperties(std::u16string_view path, int32_t attributes, int64_t size,
                                     int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  CacheItem& item = it->second;
  item.Size = size;
  if (attributes >= 0) item.Attributes = static_cast<uint32_t>(attributes);
  if (creation_time > 0) item.CreationTime = static_cast<uint64_t>(creation_time);
  if (last_access_time > 0) item.LastAccessTime = static_cast<uint64_t>(last_access_time);
  if (last_write_time > 0) item.LastWriteTime = static_cast<uint64_t>(last_write_time);
  return true;
}

bool MetadataCache::Remove(std::u16string_view path, bool children) {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  if (children && it->second.IsFolder()) {
    // Children are scattered over the table: every key is looked at.
    for (auto child = items_.begin(); child != items_.end();) {
      if (IsBelowFolder(child->first, path)) {
        child = items_.erase(child);
      } else {
        ++child;
      }
    }
    it = items_.find(path);
  }
  items_.erase(it);
  return true;
}

bool MetadataCache::Rename(std::u16string_view old_path, std::u16string_view new_path) {
  MutexLock lock(mutex_);
  auto it = items_.find(old_path);
  if (it == items_.end()) return false;
  if (old_path == new_path) return true;
  // Everything to move leaves the map first, so a folder moved below itself
  // is not walked again.
  std::vector<Map::node_type> moved;
  if (it->second.IsFolder()) {
    for (auto child = items_.begin(); child != items_.end();) {
      if (IsBelowFolder(child->first, old_path)) {
        moved.push_back(items_.extract(child++));
      } else {
        ++child;
      }
    }
  }
  const std::u16string old_key(old_path);
  Map::node_type entry = items_.extract(old_key);
  entry.key().assign(new_path);
  const size_t cut = new_path.rfind(kSeparator);
  entry.mapped().SetItemName(entry.key(), cut == std::u16string_view::npos ? new_path : new_path.substr(cut + 1));
  for (auto& node : moved) {
    node.key().replace(0, old_key.size(), new_path);
    // A child's name is the tail of its path and moves with it.
    items_.insert_or_assign(std::move(node.key()), std::move(node.mapped()));
  }
  items_.insert_or_assign(std::move(entry.key()), std::move(entry.mapped()));
  return true;
}

void MetadataCache::Clear() {
  MutexLock lock(mutex_);
  items_.clear();
}

size_t MetadataCache::Count() const {
  MutexLock lock(mutex_);
  return items_.size();
}

std::vector<KnownItem> MetadataCache::KnownItems() const {
  MutexLock lock(mutex_);
  std::vector<KnownItem> known;
  known.reserve(items_.size());
  for (const auto& [path, item] : items_)
    if (!item.CreateFailed) known.push_back(KnownItem{path, item.Attributes});
  return known;
}

bool MetadataCache::PutBack(std::u16string_view path, const CacheItem& item) {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  it->second.Size = item.Size;
  it->second.CreationTime = item.CreationTime;
  it->second.LastAccessTime = item.LastAccessTime;
  it->second.LastWriteTime = item.LastWriteTime;
  it->second.Attributes = item.Attributes;
  it->second.Locked = item.Locked;
  it->second.CreateFailed = item.CreateFailed;
  it->second.BaseReplaced = item.BaseReplaced;
  return true;
}

bool MetadataCache::Lookup(std::u16string_view path, CacheItem* item, std::u16string* name) const {
  MutexLock lock(mutex_);
  auto it = items_.find(path);
  if (it == items_.end()) return false;
  if (item != nullptr) {
    item->Size = it->second.Size;
    item->CreationTime = it->second.CreationTime;
    item->LastAccessTime = it->second.LastAccessTime;
    item->LastWriteTime = it->second.LastWriteTime;
    item->Attributes = it->second.Attributes;
    item->Locked = it->second.Locked;
    item->CreateFailed = it->second.CreateFailed;
    item->BaseReplaced = it->second.BaseReplaced;
  }
  if (name != nullptr) name->assign(it->second.ItemName(it->first));
  return true;
}

}  // namespace corvane
