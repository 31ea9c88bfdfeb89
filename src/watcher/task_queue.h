// First-in first-out queue of watcher tasks between producers that never
// block and workers that wait in short slices, so they notice a stop.
#pragma once

#include <cstddef>
#include <vector>

#include "support/mutex.h"

namespace corvane {

class WatcherTask;

class WatcherTaskQueue {
 public:
  explicit WatcherTaskQueue(size_t initial_capacity = 1000);
  // Closes and deletes the tasks still queued without running them.
  ~WatcherTaskQueue();
  WatcherTaskQueue(const WatcherTaskQueue&) = delete;
  WatcherTaskQueue& operator=(const WatcherTaskQueue&) = delete;

  // Takes the task on success; false when closed or out of memory.
  bool Push(WatcherTask* task);
  // The oldest task, or null after `slice_ms` with nothing queued or once
  // closed and empty.
  WatcherTask* Pop(int slice_ms = 100);
  void Close();
  // Deletes what is still queued without running it.
  void DeleteQueued();
  size_t Size() const;

 private:
  bool Grow() REQUIRES(mutex_);

  mutable Mutex mutex_;
  CondVar ready_;
  std::vector<WatcherTask*> ring_ GUARDED_BY(mutex_);
  size_t head_ GUARDED_BY(mutex_) = 0;
  size_t count_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvane
