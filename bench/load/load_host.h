// The provider side of the load run, written against the C exports only:
// file data is computed from the path (nothing is stored), folder listings
// come from a fixed remote tree, and every local-change event is counted by
// kind and path so that losses and duplicates show.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace load {

// Bytes of remote file `seed` from `offset` on; the same call always gives
// the same bytes, so readers check what they got without a stored copy.
void FillContent(uint32_t seed, uint64_t offset, char* out, size_t length);

struct RemoteEntry {
  std::string name;
  bool folder = false;
  int64_t size = 0;
  uint32_t seed = 0;  // content of a file
};

// One counted local-change event.
struct ChangeKey {
  int32_t event_id;
  std::string path;
  bool operator<(const ChangeKey& other) const {
    return event_id != other.event_id ? event_id < other.event_id : path < other.path;
  }
};

struct ChangeRecord {
  int count = 0;
  std::string new_path;   // renames: the last target reported
  int64_t size = -1;      // creates and updates: the last size reported
  int32_t update_flags = 0;
};

class LoadHost {
 public:
  explicit LoadHost(const std::string& root);
  ~LoadHost();
  LoadHost(const LoadHost&) = delete;
  LoadHost& operator=(const LoadHost&) = delete;

  // Set before Start; listings read the tree without a lock afterwards.
  void AddRemote(const std::string& folder, RemoteEntry entry) { tree_[folder].push_back(std::move(entry)); }

  int32_t Config(const std::string& setting);
  // Install and a synchronous activation.
  int32_t Start();
  int32_t Stop();
  std::string LastError();

  std::map<ChangeKey, ChangeRecord> Changes();
  size_t ChangeEvents() const { return change_events_.load(); }
  void ClearChanges();

  int64_t bytes_served() const { return bytes_served_.load(); }
  int64_t items_listed() const { return items_listed_.load(); }
  int errors() const { return errors_.load(); }
  std::vector<std::string> FirstErrors();
  // Log lines of the failure and warning levels.
  int warnings() const { return warnings_.load(); }
  // Lost notification queues; logged only at the verbose level.
  int overflows() const { return overflows_.load(); }
  std::vector<std::string> FirstWarnings();
  // Data requests the host could not serve or listings it could not give.
  int host_failures() const { return host_failures_.load(); }

 private:
  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams);
  int32_t OnGetFileData(int64_t task, const std::string& path, int64_t offset, int64_t length);
  int32_t OnListDirectory(int64_t task, const std::string& folder);
  void Count(int32_t id, const std::string& path, const std::string& new_path, int64_t size, int32_t flags);
  int32_t Do(int32_t method, intptr_t* params, int32_t count);

  void* handle_ = nullptr;
  std::string root_;
  std::map<std::string, std::vector<RemoteEntry>> tree_;
  std::map<std::string, const RemoteEntry*> files_;  // "\folder\name" -> entry, built by Start

  std::mutex mutex_;
  std::map<ChangeKey, ChangeRecord> changes_;
  std::vector<std::string> first_errors_;
  std::vector<std::string> first_warnings_;
  std::atomic<int> warnings_{0};
  std::atomic<int> overflows_{0};
  std::atomic<size_t> change_events_{0};
  std::atomic<int64_t> bytes_served_{0};
  std::atomic<int64_t> items_listed_{0};
  std::atomic<int> errors_{0};
  std::atomic<int> host_failures_{0};
};

}  // namespace load
