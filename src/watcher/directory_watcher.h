// Watches the sync root for local changes and runs the work they cause: one
// watcher thread keeps a change request outstanding, a serialized worker runs
// change batches in order, parallel workers run rescans and deferred
// CfExecute answers side by side.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/directory_changes.h"
#include "platform/threads.h"
#include "provider/placeholder_requests.h"
#include "support/mutex.h"
#include "watcher/change_state.h"
#include "watcher/record_lanes.h"
#include "watcher/task_queue.h"

namespace corvane {

class Engine;
class LogSink;
class WatcherTask;
class ChangeBatchTask;

class DirectoryWatcher : public DeferredExecutor {
 public:
  static constexpr size_t kNotificationBufferSize = 64u << 20;
  static constexpr uint64_t kSavedRemoveIntervalMs = 2000;
  static constexpr size_t kTaskPoolLimit = 1024;
  // Reports wait on the file system and on item locks more than they
  // compute: on two cores, three helpers still shortened a burst.
  static constexpr size_t kLaneHelpers = 3;

  // A smaller `buffer_size` is for tests: a completion whose first record
  // does not fit overflows, as on Windows.
  DirectoryWatcher(Engine& engine, std::u16string path, size_t buffer_size = kNotificationBufferSize);
  ~DirectoryWatcher() override;
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  bool Start();
  // Idempotent; joins every thread the watcher started.
  void Stop();

  // Takes the task when it returns true; the caller deletes it otherwise.
  bool Enqueue(WatcherTask* task);
  bool Enqueue(std::unique_ptr<ExecuteRequest>& request) override;

  // The stop flag or the engine's stop request.
  bool Stopping() const;
  Engine& engine() { return engine_; }
  LogSink* sink() const;
  const std::u16string& path() const { return path_; }
  size_t ParallelWorkerCount() const { return parallel_.size(); }

  // The scans in progress: false when `path` is already being scanned.
  bool BeginScan(const std::u16string& path);
  // Asks the scan of `path` in progress to run once more when it ends: it
  // may have passed the changes that made the caller want a scan.
  void ScanAgain(const std::u16string& path);
  // Ends the scan, unless another pass was asked for meanwhile: then the
  // scan stays registered and the caller runs it again (true).
  bool EndScan(const std::u16string& path);

  // What change processing carries from one record to the next.
  ChangeState& change_state() { return change_state_; }
  // The serialized worker's helpers for records of different folders; one
  // lane only when events are serialized.
  RecordLanes& record_lanes() { return lanes_; }

  // A thread that rescans a new folder until nothing new turns up.
  void StartNewFolderCheck(const std::u16string& relative_path);
  // The folders whose new-folder check is still running.
  std::vector<std::u16string> FoldersBeingChecked();

  // For tests: the tasks enqueued so far, by type (index 1..4).
  uint64_t EnqueuedCount(int32_t type) const { return enqueued_[type & 7].load(); }

 private:
  void WatcherThread();
  void WorkerLoop(WatcherTaskQueue& queue, bool serialized);
  void NewFolderCheck(std::u16string relative_path);
  bool RunThreadStart();
  void RunThreadEnd();
  ChangeBatchTask* TakeBatchTask();
  void RecycleBatchTask(ChangeBatchTask* task);
  bool RescanTaskIsParallel() const;

  Engine& engine_;
  const std::u16string path_;
  // Never zero-filled: the platform writes every byte it reports, and the
  // pages of a large buffer stay untouched until a burst needs them.
  const size_t buffer_size_;
  std::unique_ptr<uint8_t[]> buffer_;
  platform::DirectoryChangeWatch watch_;
  std::atomic<bool> ready_{false};
  Mutex ready_mutex_;
  CondVar ready_cv_;

  std::unique_ptr<WatcherTaskQueue> serialized_queue_;
  std::unique_ptr<WatcherTaskQueue> parallel_queue_;
  platform::NativeThread watcher_thread_;
  platform::NativeThread serialized_worker_;
  std::vector<std::unique_ptr<platform::NativeThread>> parallel_;

  Mutex scans_mutex_;
  std::vector<std::u16string> scans_ GUARDED_BY(scans_mutex_);
  std::vector<std::u16string> scans_again_ GUARDED_BY(scans_mutex_);

  Mutex pool_mutex_;
  std::vector<ChangeBatchTask*> pool_ GUARDED_BY(pool_mutex_);

  struct FolderCheck {
    std::unique_ptr<platform::NativeThread> thread;
    std::shared_ptr<std::atomic<bool>> done;
    std::u16string path;
  };
  Mutex folder_checks_mutex_;
  std::vector<FolderCheck> folder_checks_ GUARDED_BY(folder_checks_mutex_);

  ChangeState change_state_;
  RecordLanes lanes_;
  std::atomic<uint32_t> last_error_{0};
  std::atomic<bool> stop_{false};
  bool started_ = false;
  std::atomic<uint64_t> enqueued_[8] = {};
};

}  // namespace corvane
