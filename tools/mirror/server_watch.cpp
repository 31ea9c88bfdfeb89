#include "server_watch.h"

#include "console.h"
#include "native.h"

namespace mirror {

ServerWatch::ServerWatch(Component& component, ServerIndex& index, std::string server_root,
                         std::string sync_root, int poll_ms)
    : component_(component),
      index_(index),
      server_root_(std::move(server_root)),
      sync_root_(std::move(sync_root)),
      poll_ms_(poll_ms) {}

ServerWatch::~ServerWatch() { Stop(); }

void ServerWatch::Start() {
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void ServerWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServerWatch::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(poll_ms_), [this] { return stopping_; })) {
    lock.unlock();
    PollOnce();
    lock.lock();
  }
}

void ServerWatch::PollOnce() {
  const uint64_t generation = index_.Generation();
  const Snapshot scan = ScanServer(server_root_);
  for (const ServerChange& change : index_.Reconcile(scan, generation)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    Apply(change);
  }
}

bool ServerWatch::ExistsLocally(const std::string& path) const {
  return Exists(JoinPath(sync_root_, path));
}

void ServerWatch::Apply(const ServerChange& change) {
  const ServerItem& item = change.item;
  const std::string where = ToLibraryPath(change.path);
  const std::string shown = "/" + change.path;
  int32_t rc = 0;
  const char* done = nullptr;

  switch (change.kind) {
    case ServerChange::kAdded:
      // An item inside a folder the sync root does not show yet needs
      // nothing: it is listed when an application opens that folder.
      if (!ExistsLocally(ParentOf(change.path))) return;
      if (ExistsLocally(change.path)) {
        if (item.is_folder) return;
        rc = component_.UpdateFile(where, item.size, item.times);
        done = "changed; the local copy now fetches the new data on its next read";
      } else {
        rc = item.is_folder ? component_.CreateFolder(where, item.times)
                            : component_.CreateFile(where, item.size, item.times);
        done = item.is_folder ? "new folder; created in the sync root" : "new file; placeholder created";
      }
      break;
    case ServerChange::kModified:
      if (!ExistsLocally(change.path)) {
        if (!ExistsLocally(ParentOf(change.path))) return;
        rc = component_.CreateFile(where, item.size, item.times);
        done = "changed; placeholder created";
      } else {
        // The library drops the local data, so the next read asks us again.
        rc = component_.UpdateFile(where, item.size, item.times);
        done = "changed; the local copy now fetches the new data on its next read";
      }
      break;
    case ServerChange::kRemoved:
      if (!ExistsLocally(change.path)) return;
      rc = item.is_folder ? component_.DeleteFolder(where) : component_.DeleteFile(where);
      done = "deleted; removed from the sync root";
      break;
    case ServerChange::kRenamed: {
      const std::string to = ToLibraryPath(change.new_path);
      if (!ExistsLocally(change.path)) {
        // The sync root never showed the old name: treat the new one as new.
        Apply({ServerChange::kAdded, change.new_path, "", item});
        return;
      }
      if (!ExistsLocally(ParentOf(change.new_path))) {
        rc = item.is_folder ? component_.DeleteFolder(where) : component_.DeleteFile(where);
        done = "moved out of sight; removed from the sync root";
        break;
      }
      rc = item.is_folder ? component_.RenameFolder(where, to) : component_.RenameFile(where, to);
      if (rc == 0) Say("server: %s renamed to /%s; renamed in the sync root", shown.c_str(), change.new_path.c_str());
      else Complain("server: %s renamed to /%s, but the sync root could not follow: %s", shown.c_str(),
                    change.new_path.c_str(), component_.LastError().c_str());
      return;
    }
  }
  if (rc == 0) Say("server: %s %s", shown.c_str(), done);
  else Complain("server: %s %s, but the sync root could not follow: %s", shown.c_str(),
                change.kind == ServerChange::kRemoved ? "was deleted" : "changed", component_.LastError().c_str());
}

}  // namespace mirror
