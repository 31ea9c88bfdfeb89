// The monitor, retry and expiry threads of one engine. Each stops when its
// flag is set or the engine is deactivating; Join waits for all of them, so
// none outlives the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "support/mutex.h"

namespace corvane {

class Engine;

class EngineThreads {
 public:
  EngineThreads() = default;
  ~EngineThreads();  // joins whatever still runs
  EngineThreads(const EngineThreads&) = delete;
  EngineThreads& operator=(const EngineThreads&) = delete;

  bool StartMonitor(Engine& engine);
  bool StartRetry(Engine& engine);
  bool StartExpiry(Engine& engine);
  void Signal();
  void Join();
  // True on the monitor, retry or expiry thread itself.
  bool IsOwnThread() const;

  std::atomic<bool> monitor_stop{false};
  std::atomic<bool> retry_stop{false};
  std::atomic<bool> expiry_stop{false};

 private:
  // Sleeps up to `ms`; false when `stop` was set or the engine deactivates.
  bool Sleep(Engine& engine, const std::atomic<bool>& stop, int ms);
  void MonitorProc(Engine& engine);
  void RetryProc(Engine& engine);
  void ExpiryProc(Engine& engine, int64_t limit_ms);

  Mutex mutex_;
  CondVar wake_;
  std::thread monitor_;
  std::thread retry_;
  std::thread expiry_;
};

// Threads started by the provider launch; Stop signals and joins them all, so
// no engine thread outlives its component.
bool StartAsyncMonitorThread(Engine& engine);
bool StartRetryQueueThread(Engine& engine);
int32_t StartCheckExpiredPendingTasksThread(Engine& engine);
void SignalEngineThreads(Engine& engine);
void JoinEngineThreads(Engine& engine);
// Joins the signalled threads and starts them again (not from one of them).
void RestartEngineThreads(Engine& engine);

}  // namespace corvane
