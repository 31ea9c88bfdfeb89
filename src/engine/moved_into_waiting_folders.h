// Items the user moved, while stopped, into a folder whose own move the host
// has not taken yet (unanswered, or waiting for a retry). The start leaves
// their moves to the walk that follows once the folder's move is taken;
// until then the host still lists them where they were, and a listing must
// not make them there again.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class MovedIntoWaitingFolders {
 public:
  // At a start: what an earlier one noted is told or gone by now.
  void Clear();
  // The host's `item` is inside the folder the host has at `folder`.
  void Note(std::u16string item, std::u16string folder);
  // The folder the host's `item` went into; empty when none was noted.
  std::u16string FolderOf(std::u16string_view item) const;
  // The item's move was told (or it is known again otherwise).
  void Forget(std::u16string_view item);

 private:
  // A few at most: moves made while stopped into a folder moved too.
  static constexpr size_t kKept = 4096;
  mutable Mutex mutex_;
  std::vector<std::pair<std::u16string, std::u16string>> items_ GUARDED_BY(mutex_);
};

}  // namespace corvane
