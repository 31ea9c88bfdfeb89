// Changes made directly in the server folder, applied to the sync root with
// the library's methods (CreateFile, UpdateFile, DeleteFile, RenameFile and
// the folder twins). The library records each such call so that its own
// change to the root is not reported back as a local change.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "component.h"
#include "server_snapshot.h"

namespace mirror {

class ServerWatch {
 public:
  ServerWatch(Component& component, ServerIndex& index, std::string server_root, std::string sync_root,
              int poll_ms);
  ~ServerWatch();

  void Start();
  void Stop();

 private:
  void Run();
  void PollOnce();
  void Apply(const ServerChange& change);
  // Whether the sync root shows `path` (or the root itself for "").
  bool ExistsLocally(const std::string& path) const;

  Component& component_;
  ServerIndex& index_;
  const std::string server_root_;
  const std::string sync_root_;
  const int poll_ms_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mirror
