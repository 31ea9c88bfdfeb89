// The units of work the directory watcher's workers run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class DirectoryWatcher;
struct ExecuteRequest;

enum WatcherTaskType : int32_t {
  WATCHER_TASK_PROCESS_CHANGES = 1,
  WATCHER_TASK_RESCAN = 2,
  WATCHER_TASK_SAVED_REMOVE = 3,
  WATCHER_TASK_EXECUTE = 4,
};

class WatcherTask {
 public:
  WatcherTask(int32_t type, DirectoryWatcher& watcher) : type_(type), watcher_(watcher) {}
  virtual ~WatcherTask() = default;
  WatcherTask(const WatcherTask&) = delete;
  WatcherTask& operator=(const WatcherTask&) = delete;

  // Drops the task's data so the record can be reused.
  virtual void Reset() {}
  virtual int32_t Execute() = 0;
  int32_t type() const { return type_; }

 protected:
  const int32_t type_;
  DirectoryWatcher& watcher_;
};

// One completed notification buffer, copied.
class ChangeBatchTask : public WatcherTask {
 public:
  explicit ChangeBatchTask(DirectoryWatcher& watcher) : WatcherTask(WATCHER_TASK_PROCESS_CHANGES, watcher) {}
  void Attach(std::vector<uint8_t> buffer) { buffer_ = std::move(buffer); }
  void Reset() override { std::vector<uint8_t>().swap(buffer_); }
  int32_t Execute() override;

 private:
  std::vector<uint8_t> buffer_;
};

class RescanTask : public WatcherTask {
 public:
  RescanTask(DirectoryWatcher& watcher, std::u16string path)
      : WatcherTask(WATCHER_TASK_RESCAN, watcher), path_(std::move(path)) {}
  void Reset() override { path_.clear(); }
  int32_t Execute() override;

 private:
  std::u16string path_;
};

class SavedRemoveTask : public WatcherTask {
 public:
  explicit SavedRemoveTask(DirectoryWatcher& watcher) : WatcherTask(WATCHER_TASK_SAVED_REMOVE, watcher) {}
  int32_t Execute() override;
};

// A CfExecute answer that the placeholder manager handed over.
class ExecuteTask : public WatcherTask {
 public:
  ExecuteTask(DirectoryWatcher& watcher, std::unique_ptr<ExecuteRequest> request);
  ~ExecuteTask() override;
  void Reset() override;
  int32_t Execute() override;

 private:
  std::unique_ptr<ExecuteRequest> request_;
};

}  // namespace corvane
