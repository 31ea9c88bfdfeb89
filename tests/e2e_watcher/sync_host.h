// A small provider written against the exported C functions only: it owns
// one component over a temporary sync root, answers its events through a
// replaceable policy and keeps what it was told. Also used by the watcher
// benchmark.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "halvex/corvane.h"

namespace corvane::e2e {

using Clock = std::chrono::steady_clock;

struct HostEvent {
  int32_t id = 0;
  std::string path;
  std::string new_path;    // renames
  int32_t flags = 0;       // updates
  int32_t attributes = 0;  // creates and updates
  int64_t size = 0;        // files
  int64_t task_id = 0;     // creates, updates, renames and deletes
  Clock::time_point at;
};

// A temporary folder holding the sync root, a folder outside the root on
// the same filesystem, and the platform state folder.
class Scratch {
 public:
  // `parent` is where the scratch folder goes; it must keep user extended
  // attributes (the platform's placeholder state).
  explicit Scratch(const std::string& parent = "/tmp") {
    std::string tmpl = parent + "/corvane-e2e-watch-XXXXXX";
    base_ = mkdtemp(tmpl.data());
    std::filesystem::create_directories(Root());
    std::filesystem::create_directories(Outside());
    std::filesystem::create_directories(base_ + "/state");
    setenv("CORVANE_STATE_DIR", (base_ + "/state").c_str(), 1);
  }
  ~Scratch() {
    unsetenv("CORVANE_STATE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  // A memory-backed parent when the machine has one: removing ten thousand
  // placeholders from a loaded disk takes longer than the test itself.
  static std::string FastParent() {
    return std::filesystem::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  }
  std::string Root() const { return base_ + "/root"; }
  std::string Outside() const { return base_ + "/outside"; }

 private:
  std::string base_;
};

class SyncHost {
 public:
  // The answer the host gives to a task event (its ResultCode).
  using Policy = std::function<int32_t(const HostEvent&)>;
  // Called on the event's thread for every task event, before the answer,
  // and for every log line (id HALVEX_EVENT_LOG, the text in `path`).
  using Observer = std::function<void(const HostEvent&)>;

  explicit SyncHost(const std::string& root) {
    handle_ = Halvex_Corvane_Create(&SyncHost::Sink, this, nullptr, HALVEX_CREATE_WIDE_EVENTS);
    Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, reinterpret_cast<intptr_t>(root.c_str()), 0);
  }
  ~SyncHost() { Halvex_Corvane_Destroy(handle_); }
  SyncHost(const SyncHost&) = delete;
  SyncHost& operator=(const SyncHost&) = delete;

  int32_t Config(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    int32_t sizes[2] = {0, 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 1, params, sizes, nullptr);
  }
  // Install, then a synchronous activation: the watcher runs on return.
  int32_t Start() {
    intptr_t none[1] = {0};
    int32_t sizes[1] = {0};
    int32_t rc = Halvex_Corvane_Do(handle_, HALVEX_METHOD_INSTALL, 0, none, sizes, nullptr);
    if (rc != 0) return rc;
    intptr_t sync[1] = {1};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_ACTIVATE, 1, sync, sizes, nullptr);
  }
  std::string LastError() { return Halvex_Corvane_GetLastError(handle_); }

  // Remote changes the host applies through methods (paths like "\a.txt").
  int32_t CreateRemoteFile(const std::string& path, int64_t size) {
    int64_t zero = 0;
    intptr_t params[6] = {Ptr(path.c_str()), 0, Ptr(&size), Ptr(&zero), Ptr(&zero), Ptr(&zero)};
    return Do(HALVEX_METHOD_CREATE_FILE, params, 6);
  }
  int32_t DeleteRemoteFile(const std::string& path) {
    intptr_t params[1] = {Ptr(path.c_str())};
    return Do(HALVEX_METHOD_DELETE_FILE, params, 1);
  }
  // Ends a task the host answered as pending.
  int32_t FinishTask(int64_t task, int32_t result) {
    intptr_t params[2] = {Ptr(&task), result};
    return Do(HALVEX_METHOD_FINALIZE_TASK, params, 2);
  }
  int32_t RenameRemoteFile(const std::string& path, const std::string& new_path) {
    intptr_t params[3] = {Ptr(path.c_str()), Ptr(new_path.c_str()), 0};
    return Do(HALVEX_METHOD_RENAME_FILE, params, 3);
  }

  // A Config query ("PendingOperationCount" ...); its answer is 8-bit text.
  std::string Query(const std::string& key) {
    intptr_t params[2] = {Ptr(key.c_str()), 0};
    if (Do(HALVEX_METHOD_CONFIG, params, 2) != 0 || params[1] == 0) return "?";
    return reinterpret_cast<const char*>(params[1]);
  }
  // The host's late answer to a task it answered HALVEX_ERR_PENDING.
  int32_t FinalizeTask(int64_t task_id, int32_t code) {
    intptr_t params[2] = {Ptr(&task_id), code};
    return Do(HALVEX_METHOD_FINALIZE_TASK, params, 2);
  }

  int32_t PutData(int64_t task_id, const std::string& bytes) {
    intptr_t params[4] = {Ptr(&task_id), Ptr(bytes.data()), 0, static_cast<intptr_t>(bytes.size())};
    int32_t sizes[4] = {0, static_cast<int32_t>(bytes.size()), 0, 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_PUT_ITEM_DATA, 4, params, sizes, nullptr);
  }

  void SetPolicy(Policy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
  }
  void SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
  }

  std::vector<HostEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Error events, as "code text".
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  std::vector<HostEvent> Events(int32_t id, const std::string& path) {
    std::vector<HostEvent> found;
    for (const HostEvent& e : Events())
      if (e.id == id && e.path == path) found.push_back(e);
    return found;
  }
  // Kept as the events arrive: waiting on a large burst must stay cheap.
  size_t Count(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(id);
    return it == counts_.end() ? 0 : it->second;
  }
  size_t Count(int32_t id, const std::string& path) { return Events(id, path).size(); }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    counts_.clear();
    errors_.clear();
  }
  // Waits until `done` holds (checked after each event) or `ms` pass.
  bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (true) {
      lock.unlock();
      if (done()) return true;
      lock.lock();
      if (cv_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100))) ==
              std::cv_status::timeout &&
          Clock::now() >= until) {
        lock.unlock();
        return done();
      }
    }
  }
  bool WaitCount(int32_t id, const std::string& path, size_t n, int ms = 10000) {
    return WaitFor([&] { return Count(id, path) >= n; }, ms);
  }

 private:
  static intptr_t Ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }
  int32_t Do(int32_t method, intptr_t* params, int32_t count) {
    std::vector<int32_t> sizes(count, 0);
    return Halvex_Corvane_Do(handle_, method, count, params, sizes.data(), nullptr);
  }
  static std::string Text(intptr_t slot) {
    std::string out;
    for (auto* c = reinterpret_cast<const char16_t*>(slot); c != nullptr && *c != 0; ++c)
      out.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');  // test paths are ASCII
    return out;
  }
  static int64_t Int64(intptr_t slot) { return *reinterpret_cast<const int64_t*>(slot); }

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<SyncHost*>(context);
    HostEvent e;
    e.id = id;
    e.at = Clock::now();
    switch (id) {
      case HALVEX_EVENT_CREATE_FILE:
        e.attributes = static_cast<int32_t>(params[2]);
        e.size = Int64(params[3]);
        break;
      case HALVEX_EVENT_CREATE_FOLDER:
        e.attributes = static_cast<int32_t>(params[2]);
        break;
      case HALVEX_EVENT_UPDATE_FILE:
        e.size = Int64(params[4]);
        [[fallthrough]];
      case HALVEX_EVENT_UPDATE_FOLDER:
        e.flags = static_cast<int32_t>(params[2]);
        e.attributes = static_cast<int32_t>(params[3]);
        break;
      case HALVEX_EVENT_RENAME_FILE:
      case HALVEX_EVENT_RENAME_FOLDER:
        e.new_path = Text(params[2]);
        break;
      case HALVEX_EVENT_GET_FILE_DATA:
        e.size = Int64(params[3]);  // the length asked for
        break;
      case HALVEX_EVENT_DELETE_FILE:
      case HALVEX_EVENT_DELETE_FOLDER:
      case HALVEX_EVENT_LIST_DIRECTORY:
      case HALVEX_EVENT_RESET_FILE:
        break;
      case HALVEX_EVENT_ERROR: {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->errors_.push_back(std::to_string(static_cast<int32_t>(params[0])) + " " + Text(params[1]));
        return 0;
      }
      case HALVEX_EVENT_LOG: {
        e.path = Text(params[1]);
        if (getenv("CORVANE_E2E_LOG") != nullptr) fprintf(stderr, "log: %s\n", e.path.c_str());
        Observer observer;
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          observer = self->observer_;
        }
        if (observer) observer(e);
        return 0;
      }
      default:
        return 0;  // errors, activation
    }
    e.path = Text(params[1]);
    if (id != HALVEX_EVENT_LIST_DIRECTORY && id != HALVEX_EVENT_RESET_FILE) e.task_id = Int64(params[0]);
    Policy policy;
    Observer observer;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      policy = self->policy_;
      observer = self->observer_;
    }
    if (observer) observer(e);
    int32_t answer = policy ? policy(e) : 0;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back(e);
      ++self->counts_[id];
    }
    self->cv_.notify_all();
    if (id == HALVEX_EVENT_RESET_FILE) return answer;
    params[count - 1] = answer;
    // The retry and asynchronous answers travel in the result slot; any
    // other code is a failing handler.
    return answer == HALVEX_ERR_RETRY || answer == HALVEX_ERR_PENDING ? 0 : answer;
  }

  void* handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  Policy policy_;
  Observer observer_;
  std::vector<HostEvent> events_;
  std::map<int32_t, size_t> counts_;
  std::vector<std::string> errors_;
};

}  // namespace corvane::e2e
