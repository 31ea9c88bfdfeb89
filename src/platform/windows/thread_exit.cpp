// Thread-exit clean-up through fibre-local storage. C++ thread_local
// destructors are not usable for it with mingw-w64: its emulated TLS frees a
// thread's variables before those destructors run, so a destructor reads
// memory that another thread may already own.
#include "platform/thread_exit.h"

#include <atomic>

#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

std::atomic<ThreadExitCallback> exit_callback{nullptr};

void WINAPI RunCallback(void* value) {
  ThreadExitCallback callback = exit_callback.load(std::memory_order_acquire);
  if (callback != nullptr && value != nullptr) callback(reinterpret_cast<uintptr_t>(value));
}

// One index for the process. Freed when the module unloads, which runs the
// callback for the threads still holding a value, so no thread later calls
// into unloaded code.
class FiberSlot {
 public:
  FiberSlot() : index_(::FlsAlloc(&RunCallback)) {}
  ~FiberSlot() {
    if (index_ != FLS_OUT_OF_INDEXES) ::FlsFree(index_);
  }
  ::DWORD index() const { return index_; }

 private:
  ::DWORD index_;
};

FiberSlot& Slot() {
  static FiberSlot slot;
  return slot;
}

}  // namespace

void ArmThreadExit(ThreadExitCallback callback, uint64_t value) {
  // The value travels as the slot's pointer; 0 would mean "not armed".
  if (value == 0) return;
  exit_callback.store(callback, std::memory_order_release);
  const ::DWORD index = Slot().index();
  if (index == FLS_OUT_OF_INDEXES || ::FlsGetValue(index) != nullptr) return;
  ::FlsSetValue(index, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
}

}  // namespace corvane::platform
