// What several test programs share: deterministic remote content, and the
// thread count that shows nothing the library started is left running.
#pragma once

#include <chrono>
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

// Waits until the thread count falls back to `expected`. Threads told to
// stop may still be unwinding, and even a joined thread can be listed for a
// moment: the kernel wakes the joiner before it takes the thread out of the
// process's task list.
inline bool ThreadsBackTo(int expected, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (ThreadCount() > expected) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Fewer is no leak: a thread counted before (a former host's, ending) may
  // have gone since.
  return ThreadCount() <= expected;
}

}  // namespace corvane::test_common
