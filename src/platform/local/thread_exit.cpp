#include "platform/thread_exit.h"

namespace corvane::platform {
namespace {

// Destroyed with the thread's other thread_local objects.
struct ThreadExitHook {
  ThreadExitCallback callback;
  uint64_t value;
  ~ThreadExitHook() { callback(value); }
};

}  // namespace

void ArmThreadExit(ThreadExitCallback callback, uint64_t value) {
  thread_local ThreadExitHook hook{callback, value};
  (void)hook;
}

}  // namespace corvane::platform
