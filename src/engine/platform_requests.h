// What the engine asks of the code that serves the platform's requests (the
// callbacks: fetch data, listings, notifications). That code carries each
// request in the engine's tasks and fires the host's events, so it stands
// above the engine; the engine reaches it only through this, handed in when
// the engine is made.
#pragma once

#include <cstdint>

namespace corvane {

class Engine;
class Task;
struct PlaceholderCallbackEntries;

class PlatformRequests {
 public:
  virtual ~PlatformRequests() = default;
  // The callback table handed to the platform when the root is connected.
  virtual const PlaceholderCallbackEntries& CallbackEntries() const = 0;
  // Sends what a fetch task's transfer stream holds; `final` sends the remainder.
  virtual int32_t FlushTransfer(Engine& engine, Task& task, bool final) const = 0;
  // Fails the application's read behind an asynchronous fetch that will get
  // no more data (unless the platform cancelled it), then frees its context.
  virtual void AbandonFetch(Engine& engine, Task& task, int32_t code) const = 0;
  // Ends a cancelled fetch at once: its data still queued for the platform
  // is dropped (a chunk under way lands first) and the application's read fails.
  virtual void CloseFetch(Engine& engine, Task& task) const = 0;
  // Frees the request a fetch task carries; whoever removes an asynchronous
  // fetch calls it first.
  virtual void ReleaseFetchContext(Engine& engine, Task& task) const = 0;
  // True on a thread that is inside a platform callback of this engine (and
  // so inside the host's handler of that request, if one runs).
  virtual bool InsidePlatformCallback(const Engine& engine) const = 0;
};

}  // namespace corvane
