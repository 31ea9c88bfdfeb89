// The sync engine of one component. Here only the frame every part shares:
// diagnostics, the code page and the ways back to the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "diag/diagnostics.h"

namespace corvane {

class EventInterface;
class ThreadHook;

class Engine {
 public:
  explicit Engine(LogSink* log_sink);
  virtual ~Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  virtual void SetBuildNumber(std::u16string_view build) { build_number = std::u16string(build); }

  Diagnostics diag;
  std::atomic<uint32_t> code_page{65001};  // every 8-bit string at the boundary
  EventInterface* events = nullptr;        // never null once the component exists
  ThreadHook* thread_hook = nullptr;
  std::u16string build_number;
};

}  // namespace corvane
