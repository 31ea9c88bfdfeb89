#include "platform/local/worker_pool.h"

namespace corvane::platform::local {

void WorkerPool::Start(int threads) {
  MutexLock lock(mutex_);
  stopping_ = false;
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

bool WorkerPool::Post(std::function<void()> work) {
  {
    MutexLock lock(mutex_);
    if (stopping_ || threads_.empty()) return false;
    queue_.push_back(std::move(work));
  }
  wake_.NotifyOne();
  return true;
}

void WorkerPool::Stop() {
  std::vector<std::thread> threads;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    queue_.clear();
    threads.swap(threads_);
  }
  wake_.NotifyAll();
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
}

void WorkerPool::Run() {
  for (;;) {
    std::function<void()> work;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && queue_.empty()) wake_.Wait(mutex_);
      if (stopping_) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

}  // namespace corvane::platform::local
