// Helper threads that run the lanes of one batch of change records side by
// side with the serialized worker, which runs lane 0 and waits for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/threads.h"
#include "support/mutex.h"

namespace corvane {

class RecordLanes {
 public:
  RecordLanes() = default;
  ~RecordLanes() { Stop(); }
  RecordLanes(const RecordLanes&) = delete;
  RecordLanes& operator=(const RecordLanes&) = delete;

  // Starts `helpers` threads; each runs `around(true)` first and
  // `around(false)` last. 0, or the error of the thread that failed.
  platform::DWORD Start(size_t helpers, size_t stack_size, std::function<void(bool)> around);
  // Joins the helpers once the lanes that run have ended.
  void Stop();
  // The lanes Run has: one more than the helpers.
  size_t count() const { return helpers_.size() + 1; }
  // Calls work(lane) once for each lane, lane 0 on the caller; returns once
  // all have returned. One caller at a time.
  void Run(const std::function<void(size_t)>& work);

 private:
  void Helper(size_t lane);

  std::function<void(bool)> around_;
  std::vector<std::unique_ptr<platform::NativeThread>> helpers_;
  Mutex mutex_;
  CondVar start_;
  CondVar done_;
  const std::function<void(size_t)>* work_ GUARDED_BY(mutex_) = nullptr;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
  size_t running_ GUARDED_BY(mutex_) = 0;
  size_t alive_ GUARDED_BY(mutex_) = 0;
  bool stop_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvane
