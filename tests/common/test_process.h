// What several test programs share: deterministic remote content, and the
// thread count that shows nothing the library started is left running.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

namespace corvane::test_common {

// Deterministic bytes, different for every seed and offset.
inline std::string RemoteBytes(uint64_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (uint64_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x);
  }
  return bytes;
}

// Threads of this process.
inline int ThreadCount() {
  // ThreadSanitizer starts a helper thread with the process's first thread:
  // one is made first, so that the helper is there before the count.
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace corvane::test_common
