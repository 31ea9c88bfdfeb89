#include <thread>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"
#include "watcher/change_processing.h"
#include "watcher/directory_watcher.h"
#include "watcher/rescan.h"
#include "watcher/watcher_task.h"

namespace corvane {

int32_t ChangeBatchTask::Execute() { return ProcessChangeBatch(watcher_, buffer_); }

int32_t RescanTask::Execute() {
  if (!watcher_.BeginScan(path_)) {
    // Changes were lost after the running scan began: it runs once more.
    watcher_.ScanAgain(path_);
    LogF(watcher_.sink(), kLogVerbose, u"Scan skipped (already in progress): '%s'", path_);
    return 0;
  }
  do {
    RescanMissingFiles(watcher_.engine(), path_);
  } while (watcher_.EndScan(path_));
  return 0;
}

int32_t SavedRemoveTask::Execute() { return ProcessSavedRemoveAction(watcher_); }

ExecuteTask::ExecuteTask(DirectoryWatcher& watcher, std::unique_ptr<ExecuteRequest> request)
    : WatcherTask(WATCHER_TASK_EXECUTE, watcher), request_(std::move(request)) {}

ExecuteTask::~ExecuteTask() = default;

void ExecuteTask::Reset() { request_.reset(); }

int32_t ExecuteTask::Execute() {
  PlaceholderManager* manager = watcher_.engine().placeholder_manager.get();
  if (!request_ || manager == nullptr) return kErrNoData;
  return manager->RunDeferredExecute(*request_);
}

void DirectoryWatcher::StartNewFolderCheck(const std::u16string& relative_path) {
  FolderCheck check{std::make_unique<platform::NativeThread>(), std::make_shared<std::atomic<bool>>(false),
                    relative_path};
  const platform::DWORD error = check.thread->Start(0, [this, relative_path, done = check.done] {
    NewFolderCheck(relative_path);
    done->store(true);
  });
  if (error != 0) {
    LogF(sink(), kLogFailure, u"Failed to create a task to check new folder after creation for '%s'. OS error code: 0x%x",
         relative_path, error);
    return;
  }
  MutexLock lock(folder_checks_mutex_);
  // Checks that ended are joined here, so a long session does not pile them up.
  for (auto it = folder_checks_.begin(); it != folder_checks_.end();) {
    if (it->done->load()) {
      it->thread->Join();
      it = folder_checks_.erase(it);
    } else {
      ++it;
    }
  }
  folder_checks_.push_back(std::move(check));
}

std::vector<std::u16string> DirectoryWatcher::FoldersBeingChecked() {
  std::vector<std::u16string> folders;
  MutexLock lock(folder_checks_mutex_);
  for (const FolderCheck& check : folder_checks_)
    if (!check.done->load()) folders.push_back(check.path);
  return folders;
}

void DirectoryWatcher::NewFolderCheck(std::u16string relative_path) {
  RunThreadStart();
  const std::u16string full_path = path_ + relative_path;
  while (!Stopping()) {
    // Sleep a second in slices so that Stop is not held up.
    for (int slice = 0; slice < 20 && !Stopping(); ++slice)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (Stopping()) break;
    if (!BeginScan(full_path)) continue;
    int32_t found = RescanMissingFiles(engine_, full_path);
    while (EndScan(full_path)) found |= RescanMissingFiles(engine_, full_path);
    if (found == 0) break;
  }
  RunThreadEnd();
}

}  // namespace corvane
