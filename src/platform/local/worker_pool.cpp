#include "platform/local/worker_pool.h"

namespace corvane::platform::local {

void WorkerPool::Start(int threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

bool WorkerPool::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || threads_.empty()) return false;
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
  return true;
}

void WorkerPool::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
}

void WorkerPool::Run() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

}  // namespace corvane::platform::local
