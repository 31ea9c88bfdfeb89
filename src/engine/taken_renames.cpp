#include "engine/taken_renames.h"

namespace corvane {

namespace {

bool AtOrBelow(const std::u16string& path, const std::u16string& top) {
  return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == u'\\');
}

}  // namespace

void TakenRenames::Note(std::u16string_view from, std::u16string_view to) {
  MutexLock lock(mutex_);
  if (renames_.size() >= kRemembered) renames_.pop_front();
  renames_.emplace_back(from, to);
}

std::u16string TakenRenames::Follow(std::u16string identity) const {
  MutexLock lock(mutex_);
  // The latest rename of the path (or of a folder above it) first: a name
  // used again later names another item.
  for (int hops = 0; hops < kMostHops; ++hops) {
    auto found = renames_.rend();
    for (auto it = renames_.rbegin(); it != renames_.rend(); ++it) {
      if (AtOrBelow(identity, it->first)) {
        found = it;
        break;
      }
    }
    if (found == renames_.rend()) break;
    identity = found->second + identity.substr(found->first.size());
  }
  return identity;
}

}  // namespace corvane
