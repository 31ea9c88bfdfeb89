// A UTF-16 setting value that the host may rewrite while engine threads read
// it: readers take a copy under the lock, never a reference.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace corvane {

class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::u16string_view initial) : value_(initial) {}

  std::u16string Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  void Set(std::u16string_view value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_.assign(value);
  }

 private:
  mutable std::mutex mutex_;
  std::u16string value_;
};

}  // namespace corvane
