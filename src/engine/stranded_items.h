// Items whose data the server still holds only under another name: the host
// refused a rename the user had made, and the item could not go back. Until
// their data is here, a read asks the host under that name, and an event
// that would move or remove what the host holds there waits for it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class StrandedItems {
 public:
  // `local` (relative) has what the host holds as `host`.
  void Note(std::u16string_view local, std::u16string_view host);
  void Forget(std::u16string_view local);
  // The name the host holds `local` by, for the item or an item inside a
  // stranded folder; empty when it holds it (if at all) by its own name.
  // With `stranded`, also the host name of the stranded item that is
  // `local` or holds it.
  std::u16string HostPathOf(std::u16string_view local, std::u16string* stranded = nullptr) const;
  // The stranded items (local, host) whose host name is `path` or lies below
  // it, or above it: a folder's event moves or removes what it holds.
  std::vector<std::pair<std::u16string, std::u16string>> At(std::u16string_view path) const;

 private:
  mutable Mutex mutex_;
  // Few at any time: each is a refusal the user met.
  std::vector<std::pair<std::u16string, std::u16string>> items_ GUARDED_BY(mutex_);
};

}  // namespace corvane
