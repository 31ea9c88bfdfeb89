// The items the host had when the provider last stopped, for the next
// start: an item the user deleted meanwhile leaves nothing on disk to show
// that it was ever there, so without this list its delete never reaches the
// host, and the host serves it again wherever it lists the folder.
#pragma once

#include <string>
#include <vector>

#include "core/metadata_cache.h"
#include "support/mutex.h"

namespace corvane {

class KnownAtStop {
 public:
  // At a stop. A list no start has taken yet stands: a start that failed
  // before its look at the root never learnt what that stop knew.
  void Keep(std::vector<KnownItem> items);
  // At a start of the root at `root`, once: what the last stop in this
  // process kept, else what the last process left; empty when neither.
  std::vector<KnownItem> Take(const std::u16string& root);
  // When the component goes: a list no start took is left for the next
  // process. False when it could not be written.
  bool LeaveForNextProcess(const std::u16string& root);
  // The root is no sync root any more: nothing of it is kept.
  void Drop(const std::u16string& root);
  // The host finished the delete of `path` (and all below it) that a stop
  // cancelled: told again at the next start, it would be a second delete.
  // Holds whether the stop keeps its list before or after this.
  void Forget(const std::u16string& path);

 private:
  Mutex mutex_;
  std::vector<KnownItem> items_ GUARDED_BY(mutex_);
  bool taken_ GUARDED_BY(mutex_) = true;
  std::vector<std::u16string> forgotten_ GUARDED_BY(mutex_);
};

}  // namespace corvane
