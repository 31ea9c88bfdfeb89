// How many handles applications hold open on each item, for the online-only
// mode: a file is dehydrated again when its last handle closes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "support/mutex.h"

namespace corvane {

class OpenFiles {
 public:
  // Counts one more open of `path` (relative to the sync root).
  void Opened(std::u16string_view path);
  // Counts one close. True when this was the last open handle; a path that
  // was never counted (opened before the provider connected) gives false.
  bool Closed(std::u16string_view path);
  int64_t Count(std::u16string_view path) const;

 private:
  mutable Mutex mu_;
  std::map<std::u16string, int64_t, std::less<>> counts_ GUARDED_BY(mu_);
};

}  // namespace corvane
