#include "watcher/directory_watcher.h"

#include <chrono>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/host_events.h"
#include "platform/change_attributes.h"
#include "watcher/item_attributes.h"
#include "watcher/watcher_task.h"

namespace corvane {
namespace {

constexpr platform::DWORD kNotifyFilter = 0x7F;
constexpr platform::DWORD kErrorIoIncomplete = 996;

}  // namespace

DirectoryWatcher::DirectoryWatcher(Engine& engine, std::u16string path, size_t buffer_size)
    : engine_(engine),
      path_(std::move(path)),
      buffer_size_(buffer_size),
      buffer_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
      serialized_queue_(std::make_unique<WatcherTaskQueue>()),
      parallel_queue_(std::make_unique<WatcherTaskQueue>()) {
  LogF(sink(), kLogVerbose, u"Directory changes watcher created for path '%s'", path_);
}

DirectoryWatcher::~DirectoryWatcher() {
  Stop();
  for (ChangeBatchTask* task : pool_) delete task;
}

LogSink* DirectoryWatcher::sink() const { return engine_.diag.log_sink(); }

bool DirectoryWatcher::Stopping() const { return stop_.load() || engine_.state.deactivating.load() != 0; }

bool DirectoryWatcher::RunThreadStart() {
  if (engine_.thread_hook) engine_.thread_hook->OnThreadStart();
  return true;
}

void DirectoryWatcher::RunThreadEnd() {
  if (engine_.thread_hook) engine_.thread_hook->OnThreadEnd();
}

bool DirectoryWatcher::RescanTaskIsParallel() const { return engine_.settings.serialize_events.load() == 0; }

bool DirectoryWatcher::Start() {
  started_ = true;
  if (const platform::DWORD error = watch_.Open(path_); error != 0) {
    LogF(sink(), kLogFailure, u"Failed to open path for directory watcher: '%s'. Error code: 0x%x", path_, error);
    return false;
  }
  watch_.SetAttributeReader(platform::FileLayerAttributeReader());

  if (const platform::DWORD error = watcher_thread_.Start(0, [this] { WatcherThread(); }); error != 0) {
    LogF(sink(), kLogFailure, u"Failed to start directory watcher thread for: '%s'. Error code: 0x%x", path_, error);
    return false;
  }
  const int32_t stack = engine_.settings.worker_initial_stack_size.load();
  const size_t stack_size = stack > 0 ? static_cast<size_t>(stack) : 0;
  if (const platform::DWORD error =
          serialized_worker_.Start(stack_size, [this] { WorkerLoop(*serialized_queue_, true); });
      error != 0) {
    LogF(sink(), kLogFailure, u"Failed to start directory watcher serialized worker for: '%s'. Error code: 0x%x",
         path_, error);
    return false;
  }

  const uint32_t serialize = engine_.settings.serialize_events.load();
  uint32_t workers = 0;
  if (serialize == 0) {
    const int32_t max = engine_.settings.max_worker_thread_count.load();
    const int32_t min = engine_.settings.min_worker_thread_count.load();
    workers = max > 0 ? static_cast<uint32_t>(max) : 4;
    if (min != 0 && static_cast<uint32_t>(min) > workers) workers = static_cast<uint32_t>(min);
  }
  if (serialize == 0) {
    if (const platform::DWORD error =
            lanes_.Start(kLaneHelpers, stack_size, [this](bool start) { start ? (void)RunThreadStart() : RunThreadEnd(); });
        error != 0) {
      LogF(sink(), kLogFailure, u"Failed to start directory watcher record lanes for: '%s'. Error code: 0x%x", path_,
           error);
      return false;
    }
  }
  for (uint32_t i = 0; i < workers; ++i) {
    auto thread = std::make_unique<platform::NativeThread>();
    if (const platform::DWORD error = thread->Start(stack_size, [this] { WorkerLoop(*parallel_queue_, false); });
        error != 0) {
      LogF(sink(), kLogFailure, u"Failed to start directory watcher parallel worker for: '%s'. Error code: 0x%x",
           path_, error);
      return false;
    }
    parallel_.push_back(std::move(thread));
  }
  LogF(sink(), kLogVerbose, u"Directory watcher pool for path '%s': SerializeEvents=%I64d, parallel workers=%I64d",
       path_, static_cast<int64_t>(serialize), static_cast<int64_t>(workers));

  MutexLock lock(ready_mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
  while (!ready_.load() && ready_cv_.WaitUntil(ready_mutex_, deadline)) {
  }
  if (!ready_.load())
    LogF(sink(), kLogFailure, u"Directory changes watcher thread did not become ready within 5s for path '%s'",
         path_);
  LogF(sink(), kLogVerbose, u"Directory changes watcher started for path '%s'", path_);
  return true;
}

void DirectoryWatcher::Stop() {
  if (stop_.exchange(true)) return;
  if (!started_) return;
  LogF(sink(), kLogVerbose, u"Stopping directory changes watcher for path '%s'", path_);
  if (serialized_queue_) serialized_queue_->Close();
  if (parallel_queue_) parallel_queue_->Close();
  serialized_worker_.Join();
  lanes_.Stop();
  for (auto& thread : parallel_) thread->Join();
  watcher_thread_.Join();
  {
    // New-folder checks notice the stop flag within their sleep slice.
    MutexLock lock(folder_checks_mutex_);
    for (auto& check : folder_checks_) check.thread->Join();
    folder_checks_.clear();
  }
  // The queues stay (closed) until the watcher goes, so a late Enqueue from
  // the placeholder manager finds a queue that refuses rather than none.
  if (serialized_queue_) serialized_queue_->DeleteQueued();
  if (parallel_queue_) parallel_queue_->DeleteQueued();
  {
    MutexLock lock(scans_mutex_);
    scans_.clear();
    scans_again_.clear();
  }
  watch_.Close();
  LogF(sink(), kLogVerbose, u"Directory changes watcher stopped for path '%s'", path_);
}

bool DirectoryWatcher::Enqueue(WatcherTask* task) {
  if (task == nullptr || stop_.load()) return false;
  WatcherTaskQueue* queue = serialized_queue_.get();
  const int32_t type = task->type();
  if ((type == WATCHER_TASK_RESCAN || type == WATCHER_TASK_EXECUTE) && RescanTaskIsParallel())
    queue = parallel_queue_.get();
  if (queue == nullptr || !queue->Push(task)) return false;
  enqueued_[type & 7].fetch_add(1);
  LogF(sink(), kLogVerbose, u"Enqueued watcher task type=%d", type);
  return true;
}

bool DirectoryWatcher::Enqueue(std::unique_ptr<ExecuteRequest>& request) {
  if (!request || stop_.load()) return false;
  auto* task = new ExecuteTask(*this, std::move(request));
  if (Enqueue(task)) return true;
  // Hand the request back so the caller can run it at once.
  task->Reset();
  delete task;
  return false;
}

bool DirectoryWatcher::BeginScan(const std::u16string& path) {
  MutexLock lock(scans_mutex_);
  for (const auto& scan : scans_)
    if (EqualsIgnoringAsciiCase(scan, path)) return false;
  scans_.push_back(path);
  return true;
}

void DirectoryWatcher::ScanAgain(const std::u16string& path) {
  MutexLock lock(scans_mutex_);
  for (const auto& again : scans_again_)
    if (EqualsIgnoringAsciiCase(again, path)) return;
  scans_again_.push_back(path);
}

bool DirectoryWatcher::EndScan(const std::u16string& path) {
  MutexLock lock(scans_mutex_);
  for (auto it = scans_again_.begin(); it != scans_again_.end(); ++it)
    if (EqualsIgnoringAsciiCase(*it, path)) {
      scans_again_.erase(it);
      if (!Stopping()) return true;
      break;
    }
  for (auto it = scans_.begin(); it != scans_.end(); ++it)
    if (EqualsIgnoringAsciiCase(*it, path)) {
      scans_.erase(it);
      break;
    }
  return false;
}

ChangeBatchTask* DirectoryWatcher::TakeBatchTask() {
  {
    MutexLock lock(pool_mutex_);
    if (!pool_.empty()) {
      ChangeBatchTask* task = pool_.back();
      pool_.pop_back();
      return task;
    }
  }
  return new ChangeBatchTask(*this);
}

void DirectoryWatcher::RecycleBatchTask(ChangeBatchTask* task) {
  task->Reset();
  {
    MutexLock lock(pool_mutex_);
    if (pool_.size() < kTaskPoolLimit) {
      pool_.push_back(task);
      return;
    }
  }
  delete task;
}

void DirectoryWatcher::WatcherThread() {
  RunThreadStart();
  uint64_t last_saved_remove = platform::TickCount64();
  LogF(sink(), kLogVerbose, u"Directory changes watcher thread started");
  const auto signal_ready = [this] {
    MutexLock lock(ready_mutex_);
    ready_.store(true);
    ready_cv_.NotifyAll();
  };
  platform::DWORD error = watch_.Request(buffer_.get(), static_cast<platform::DWORD>(buffer_size_), true,
                                         kNotifyFilter);
  if (error != 0 && error != platform::ERROR_IO_PENDING) {
    last_error_.store(error);
    signal_ready();
    RunThreadEnd();
    return;
  }
  signal_ready();

  while (!Stopping()) {
    const platform::DWORD wait = watch_.Wait(50);
    if (wait == platform::kWaitTimeout) {
      const uint64_t now = platform::TickCount64();
      if (now - last_saved_remove > kSavedRemoveIntervalMs) {
        last_saved_remove = now;
        auto* task = new SavedRemoveTask(*this);
        if (!Enqueue(task)) delete task;
      }
      continue;
    }
    if (wait != platform::kWaitSignalled) continue;

    platform::DWORD bytes = 0;
    error = watch_.GetResult(bytes);
    std::vector<uint8_t> copy;
    bool rescan_due = false;
    if (error == 0 && bytes > 0) {
      copy.assign(buffer_.get(), buffer_.get() + bytes);
    } else if (error == 0) {
      LogF(sink(), kLogVerbose, u"Directory watcher: received empty completion; re-issuing watch.");
    } else if (error == kErrorIoIncomplete) {
      continue;
    } else if (error == platform::ERROR_NOTIFY_ENUM_DIR) {
      LogF(sink(), kLogVerbose,
           u"Directory watcher: notification buffer overflow; scheduling rescan for missed files.");
      rescan_due = true;
    } else {
      LogF(sink(), kLogVerbose, u"Directory watcher: GetOverlappedResult failed. Error code: 0x%x", error);
    }

    // The next request goes out before anything is handed on.
    error = watch_.Request(buffer_.get(), static_cast<platform::DWORD>(buffer_size_), true, kNotifyFilter);
    if (error != 0 && error != platform::ERROR_IO_PENDING) {
      last_error_.store(error);
      LogF(sink(), kLogVerbose, u"Directory watcher: ReadDirectoryChangesExW failed. Error code: 0x%x", error);
      break;
    }
    if (!copy.empty()) {
      ChangeBatchTask* task = TakeBatchTask();
      task->Attach(std::move(copy));
      if (!Enqueue(task)) {
        task->Reset();
        delete task;
      }
    } else if (rescan_due) {
      auto* task = new RescanTask(*this, path_);
      if (!Enqueue(task)) delete task;
    }
  }
  RunThreadEnd();
}

void DirectoryWatcher::WorkerLoop(WatcherTaskQueue& queue, bool serialized) {
  RunThreadStart();
  const uint32_t tid = static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
  if (serialized)
    LogF(sink(), kLogVerbose, u"Directory changes watcher serialized worker thread started");
  else
    LogF(sink(), kLogVerbose, u"Directory changes watcher parallel worker thread started, tid=%u", tid);
  while (!Stopping()) {
    WatcherTask* task = queue.Pop(100);
    if (task == nullptr) continue;
    const int32_t type = task->type();
    LogF(sink(), kLogVerbose,
         serialized ? u"Serialized worker task ('%d') execution started" : u"Parallel worker task ('%d') execution started",
         type);
    const int32_t result = task->Execute();
    LogF(sink(), kLogVerbose,
         serialized ? u"Serialized worker task ('%d') execution finished. Result code: 0x%x"
                    : u"Parallel worker task ('%d') execution finished. Result code: 0x%x",
         type, static_cast<uint32_t>(result));
    if (serialized && type == WATCHER_TASK_PROCESS_CHANGES) {
      RecycleBatchTask(static_cast<ChangeBatchTask*>(task));
    } else {
      task->Reset();
      delete task;
    }
  }
  if (serialized)
    LogF(sink(), kLogVerbose, u"Directory changes watcher serialized worker thread stopped");
  else
    LogF(sink(), kLogVerbose, u"Directory changes watcher parallel worker thread stopped, tid=%u", tid);
  RunThreadEnd();
}

}  // namespace corvane
