#include "engine/taken_renames.h"

#include <algorithm>
#include <iterator>

namespace corvane {

namespace {

bool AtOrBelow(const std::u16string& path, const std::u16string& top) {
  return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == u'\\');
}

}  // namespace

void TakenRenames::Note(std::u16string_view from, std::u16string_view to, int64_t when) {
  MutexLock lock(mutex_);
  if (renames_.size() >= kRemembered) renames_.pop_front();
  renames_.push_back({std::u16string(from), std::u16string(to), when});
}

void TakenRenames::ForgetInto(std::u16string_view path) {
  MutexLock lock(mutex_);
  const std::u16string top(path);
  renames_.erase(std::remove_if(renames_.begin(), renames_.end(),
                                [&](const Rename& rename) { return AtOrBelow(rename.to, top); }),
                 renames_.end());
}

void TakenRenames::NameUsedAgain(std::u16string_view path) {
  MutexLock lock(mutex_);
  for (Rename& rename : renames_)
    if (rename.from == path) rename.below_only = true;
}

std::u16string TakenRenames::Follow(std::u16string identity, int64_t since) const {
  MutexLock lock(mutex_);
  // The first rename of the path (or of a folder above it) made after the
  // item took its identity moved it; those before moved an earlier item of
  // the name. From there only the renames made after it, in their order:
  // following an earlier one again would walk a folder moved back and forth
  // round in circles, the path growing at each lap.
  auto taken = std::find_if(renames_.begin(), renames_.end(), [&](const Rename& rename) {
    return rename.when > since && AtOrBelow(identity, rename.from);
  });
  if (since == 0) {
    // When the identity was taken is not known: the latest rename, as a
    // name used again later names another item. An identity naming such a
    // name is the newer item's; one reached by following a rename made
    // before that still moves on with the item.
    const auto latest = std::find_if(renames_.rbegin(), renames_.rend(), [&](const Rename& rename) {
      return AtOrBelow(identity, rename.from) && !(rename.below_only && identity.size() == rename.from.size());
    });
    taken = latest == renames_.rend() ? renames_.end() : std::prev(latest.base());
  }
  return FollowFrom(std::move(identity), taken);
}

std::u16string TakenRenames::FollowRenamedItem(std::u16string path, int64_t* when) const {
  MutexLock lock(mutex_);
  const auto latest = std::find_if(renames_.rbegin(), renames_.rend(),
                                   [&](const Rename& rename) { return rename.from == path && !rename.below_only; });
  if (when != nullptr) *when = latest == renames_.rend() ? 0 : latest->when;
  return latest == renames_.rend() ? path : FollowFrom(std::move(path), std::prev(latest.base()));
}

std::vector<std::u16string> TakenRenames::RenamedItems() const {
  MutexLock lock(mutex_);
  std::vector<std::u16string> sources;
  for (const Rename& rename : renames_)
    if (!rename.below_only) sources.push_back(rename.from);
  std::sort(sources.begin(), sources.end());
  sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
  return sources;
}

std::u16string TakenRenames::FollowFrom(std::u16string identity, std::deque<Rename>::const_iterator taken) const {
  for (int hops = 0; hops < kMostHops && taken != renames_.end(); ++hops) {
    identity = taken->to + identity.substr(taken->from.size());
    taken = std::find_if(std::next(taken), renames_.end(),
                         [&](const Rename& rename) { return AtOrBelow(identity, rename.from); });
  }
  return identity;
}

}  // namespace corvane
