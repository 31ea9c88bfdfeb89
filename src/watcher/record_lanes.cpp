#include "watcher/record_lanes.h"

namespace corvane {

platform::DWORD RecordLanes::Start(size_t helpers, size_t stack_size, std::function<void(bool)> around) {
  around_ = std::move(around);
  for (size_t i = 0; i < helpers; ++i) {
    auto thread = std::make_unique<platform::NativeThread>();
    {
      MutexLock lock(mutex_);
      ++alive_;
    }
    const size_t lane = i + 1;
    if (const platform::DWORD error = thread->Start(stack_size, [this, lane] { Helper(lane); }); error != 0) {
      MutexLock lock(mutex_);
      --alive_;
      return error;
    }
    helpers_.push_back(std::move(thread));
  }
  return 0;
}

void RecordLanes::Stop() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
    start_.NotifyAll();
  }
  for (auto& thread : helpers_) thread->Join();
  helpers_.clear();
}

void RecordLanes::Run(const std::function<void(size_t)>& work) {
  size_t lanes = 1;
  {
    MutexLock lock(mutex_);
    // Helpers that have left (stopped) take no lanes: the caller runs them.
    if (!stop_ && alive_ == helpers_.size()) {
      lanes = helpers_.size() + 1;
      work_ = &work;
      running_ = helpers_.size();
      ++generation_;
      start_.NotifyAll();
    }
  }
  if (lanes == 1) {
    for (size_t lane = 0; lane < count(); ++lane) work(lane);
    return;
  }
  work(0);
  MutexLock lock(mutex_);
  while (running_ > 0) done_.Wait(mutex_);
  work_ = nullptr;
}

void RecordLanes::Helper(size_t lane) {
  if (around_) around_(true);
  uint64_t seen = 0;
  MutexLock lock(mutex_);
  while (true) {
    // A round begun before the stop is still run, or Run would wait for it.
    if (generation_ != seen) {
      seen = generation_;
      const std::function<void(size_t)>* work = work_;
      lock.Unlock();
      (*work)(lane);
      lock.Lock();
      if (--running_ == 0) done_.NotifyAll();
      continue;
    }
    if (stop_) break;
    start_.Wait(mutex_);
  }
  --alive_;
  lock.Unlock();
  if (around_) around_(false);
}

}  // namespace corvane
