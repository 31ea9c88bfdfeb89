// Threads with a chosen stack size: std::thread cannot set one, and the
// watcher's workers take theirs from a setting.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/types.h"

namespace corvane::platform {

class NativeThread {
 public:
  NativeThread();
  ~NativeThread();  // joins a thread that was not joined yet
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Runs `body` on a new thread whose stack is `stack_size` bytes (0: the
  // system default; smaller than the system minimum is raised to it).
  // 0, or the Win32 error of the failure.
  DWORD Start(size_t stack_size, std::function<void()> body);
  // Waits for the thread without limit; nothing when none runs.
  void Join();
  bool Joinable() const { return started_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool started_ = false;
};

// Milliseconds of a monotonic clock (GetTickCount64).
uint64_t TickCount64();

}  // namespace corvane::platform
