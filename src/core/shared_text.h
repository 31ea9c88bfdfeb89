// A UTF-16 setting value that the host may rewrite while engine threads read
// it: readers take a copy under the lock, never a reference.
#pragma once

#include <string>
#include <string_view>

#include "support/mutex.h"

namespace corvane {

class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::u16string_view initial) : value_(initial) {}

  std::u16string Get() const {
    MutexLock lock(mutex_);
    return value_;
  }
  void Set(std::u16string_view value) {
    MutexLock lock(mutex_);
    value_.assign(value);
  }

 private:
  mutable Mutex mutex_;
  std::u16string value_ GUARDED_BY(mutex_);
};

}  // namespace corvane
