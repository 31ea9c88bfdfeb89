// A few threads that run the provider's callbacks, so that a slow callback
// never stalls the thread that talks to applications.
#pragma once

#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "support/mutex.h"

namespace corvane::platform::local {

class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool() { Stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Start(int threads);
  // False once stopping: the work is dropped.
  bool Post(std::function<void()> work);
  // Drops work that has not started, waits for running work, joins.
  void Stop();

 private:
  void Run();

  Mutex mutex_;
  CondVar wake_;
  std::deque<std::function<void()>> queue_ GUARDED_BY(mutex_);
  std::vector<std::thread> threads_;
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvane::platform::local
