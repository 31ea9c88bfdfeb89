// The engine's lifecycle flags. They are plain flags polled by the engine's
// threads and written by the caller's thread, so each is an atomic of its own
// rather than a state guarded by a lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

struct EngineState {
  std::atomic<uint32_t> active{0};
  std::atomic<uint32_t> activating{0};
  std::atomic<uint32_t> deactivating{0};
  std::atomic<uint32_t> stop_activating{0};
  std::atomic<uint32_t> installing{0};
  std::atomic<uint32_t> path_prepared{0};

  // Settings that may change only while stopped are refused in both states.
  bool ActiveOrActivating() const { return active.load() != 0 || activating.load() != 0; }

  // 2 active, 1 activation under way, 0 otherwise.
  int32_t ActivationState() const {
    if (active.load() != 0) return 2;
    return activating.load() != 0 ? 1 : 0;
  }
};

}  // namespace corvane
