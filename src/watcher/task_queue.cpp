#include "watcher/task_queue.h"

#include <chrono>
#include <new>

#include "watcher/watcher_task.h"

namespace corvane {

WatcherTaskQueue::WatcherTaskQueue(size_t initial_capacity) {
  ring_.resize(initial_capacity < 4 ? 4 : initial_capacity, nullptr);
}

WatcherTaskQueue::~WatcherTaskQueue() {
  Close();
  DeleteQueued();
}

void WatcherTaskQueue::DeleteQueued() {
  MutexLock lock(mutex_);
  for (; count_ > 0; --count_) {
    delete ring_[head_];
    head_ = (head_ + 1) % ring_.size();
  }
}

bool WatcherTaskQueue::Grow() {
  std::vector<WatcherTask*> bigger;
  try {
    bigger.resize(ring_.size() * 2, nullptr);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
  ring_.swap(bigger);
  head_ = 0;
  return true;
}

bool WatcherTaskQueue::Push(WatcherTask* task) {
  {
    MutexLock lock(mutex_);
    if (closed_ || task == nullptr) return false;
    if (count_ == ring_.size() && !Grow()) return false;
    ring_[(head_ + count_) % ring_.size()] = task;
    ++count_;
  }
  ready_.NotifyOne();
  return true;
}

WatcherTask* WatcherTaskQueue::Pop(int slice_ms) {
  MutexLock lock(mutex_);
  if (count_ == 0 && !closed_)
    ready_.WaitUntil(mutex_, std::chrono::steady_clock::now() + std::chrono::milliseconds(slice_ms));
  if (count_ == 0) return nullptr;
  WatcherTask* task = ring_[head_];
  ring_[head_] = nullptr;
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return task;
}

void WatcherTaskQueue::Close() {
  {
    MutexLock lock(mutex_);
    closed_ = true;
  }
  ready_.NotifyAll();
}

size_t WatcherTaskQueue::Size() const {
  MutexLock lock(mutex_);
  return count_;
}

}  // namespace corvane
