// Hydration: the library asks for a file's bytes with GetFileData; the mirror
// answers "pending" at once and sends the bytes from worker threads of its
// own with PutItemData, then ends the task with FinalizeTask. This keeps the
// event handler short, which is what a provider with a slow store must do.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "component.h"

namespace mirror {

class Downloads {
 public:
  Downloads(Component& component, std::string server_root, int workers);
  ~Downloads();

  void Start();
  // Ends the workers; a transfer in progress stops after its current chunk.
  void Stop();

  // From the GetFileData handler. `path` is a server path.
  void Enqueue(int64_t task, const std::string& path, int64_t offset, int64_t length);
  // From the CancelTask handler: the application no longer waits.
  void Cancel(int64_t task);

 private:
  struct Job {
    int64_t task;
    std::string path;
    int64_t offset;
    int64_t length;
  };

  void Work();
  void Transfer(const Job& job);
  bool Cancelled(int64_t task);

  Component& component_;
  const std::string server_root_;
  const int worker_count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  std::set<int64_t> cancelled_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace mirror
