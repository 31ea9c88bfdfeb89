// Mutexes spread over keys: callers with the same key (ASCII case folded)
// always share one; callers with different keys usually do not.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <string_view>

namespace corvane {

class StripedMutex {
 public:
  std::mutex& For(std::u16string_view key) {
    size_t hash = 14695981039346656037ull;
    for (char16_t c : key) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      hash = (hash ^ c) * 1099511628211ull;
    }
    return stripes_[hash % stripes_.size()];
  }

 private:
  std::array<std::mutex, 61> stripes_;
};

}  // namespace corvane
