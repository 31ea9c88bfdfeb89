// Local changes on their way to the server folder. The library reports what
// users did in the sync root (CreateFile, UpdateFile, DeleteFile, RenameFile
// and the folder twins); each handler here carries it out on the server and
// answers with a result code: 0 done, HALVEX_ERR_RETRY to be asked again
// later, anything else a failure.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "component.h"
#include "server_snapshot.h"

namespace mirror {

class Uploads {
 public:
  Uploads(Component& component, ServerIndex& index, std::string server_root);

  // Paths are server paths; `task` names the event's task, through which the
  // local file's bytes are read.
  int32_t CreateFile(int64_t task, const std::string& path, const ItemTimes& times);
  int32_t CreateFolder(const std::string& path);
  int32_t UpdateFile(int64_t task, const std::string& path, int32_t update_flags, int64_t size,
                     const ItemTimes& times);
  int32_t Delete(const std::string& path, bool is_folder);
  int32_t Rename(const std::string& from, const std::string& to, bool is_folder);

 private:
  // Copies the local file into the server folder: into a temporary file
  // first, renamed over the target only when complete, so the server never
  // holds half a file. Returns 0 or a result code for the event.
  int32_t Upload(int64_t task, const std::string& path, const ItemTimes& times, const char* what);
  // A failure that may pass (busy disk, a folder that is being recreated):
  // ask the library to repeat the event a few times before giving up.
  int32_t RetryOrFail(const std::string& path, const std::string& reason);
  void Succeeded(const std::string& path);
  void Record(const std::string& path);

  Component& component_;
  ServerIndex& index_;
  const std::string server_root_;
  std::mutex mutex_;
  std::map<std::string, int> retries_;  // path -> retries asked for so far
};

}  // namespace mirror
