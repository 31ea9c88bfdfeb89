// Renames the host has whose items' identities still name the old path,
// which the host no longer has: a rename taken after the item had already
// moved on (its identity could not be changed where it no longer was), and
// a folder's rename, taken or made by the host, whose items inside keep the
// identities they were made with. The host knows them by the new path.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class TakenRenames {
 public:
  // `when`: the time the rename was made (IdentityTime), that of its report
  // to the host for a local one.
  void Note(std::u16string_view from, std::u16string_view to, int64_t when);
  // The path the host has the item by whose identity is `identity` (an item
  // inside a renamed folder too); `identity` itself when no taken rename
  // names it. `since`: when the item took its identity; only a rename made
  // after that moved it (0: not known, then the latest rename of the name).
  std::u16string Follow(std::u16string identity, int64_t since = 0) const;
  // Where the host has the item last known at `path`, when a taken rename
  // moved that item itself (a rename of a folder above it may have been
  // made before the item came to be there); `path` otherwise.
  // `when`, if given, gets the time of that rename (0 when none moved it).
  std::u16string FollowRenamedItem(std::u16string path, int64_t* when = nullptr) const;
  // The paths FollowRenamedItem leads away from: few, where the items a
  // start looks through may be many.
  std::vector<std::u16string> RenamedItems() const;
  // The host deleted `path`: renames into it (or below it) lead nowhere
  // now, and an identity naming their source names whatever was made
  // there since.
  void ForgetInto(std::u16string_view path);
  // The host has a new item at `path` (its create was taken, or made by the
  // host): an identity naming `path` itself names that item from now on.
  // What was below the old item's name still follows its renames.
  void NameUsedAgain(std::u16string_view path);

 private:
  // Renames of folders and late answers only: few beside the items.
  static constexpr size_t kRemembered = 4096;
  static constexpr int kMostHops = 16;

  mutable Mutex mutex_;
  struct Rename {
    std::u16string from, to;
    int64_t when = 0;
    bool below_only = false;  // `from` itself names a newer item
  };
  std::deque<Rename> renames_ GUARDED_BY(mutex_);

  // `identity` moved by `taken`, then by each later rename that moves it on.
  std::u16string FollowFrom(std::u16string identity, std::deque<Rename>::const_iterator taken) const
      REQUIRES(mutex_);
};

}  // namespace corvane
