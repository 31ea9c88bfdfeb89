// A provider host for fault tests, written against the C exports only. Its
// GetFileData and ListDirectory answers are functions a test swaps in, so a
// test can make the host fail, throw, stall, retry or call back in.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/test_process.h"
#include "halvex/corvane.h"

namespace corvane::faults {

using namespace std::chrono_literals;

struct Request {
  int64_t task_id;
  std::string path;
  int64_t offset;
  int64_t length;
};

struct SeenEvent {
  int32_t id;
  int64_t task_id;
  std::string path;
  int32_t code;  // ErrorCode of Error, UpdateFlags of updates, last slot otherwise
};

using test_common::RemoteBytes;

using test_common::ThreadCount;

// Waits until the thread count falls back to `expected` (threads that were
// told to stop may still be unwinding for a moment).
inline bool ThreadsBackTo(int expected, std::chrono::milliseconds limit = 3s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (ThreadCount() > expected) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return ThreadCount() == expected;
}

class FaultHost {
 public:
  // The sink's return value; the answer slot is set through `answer`.
  using FetchHandler = std::function<int32_t(FaultHost&, const Request&, int32_t& answer)>;
  using ListHandler = std::function<int32_t(FaultHost&, int64_t task, const std::string& folder)>;

  FetchHandler on_fetch;
  ListHandler on_list;
  // Every event but GetFileData and ListDirectory throws, Log included.
  std::atomic<bool> throw_from_other_events{false};

  explicit FaultHost(const std::string& root) : root_(root) {
    handle_ = Halvex_Corvane_Create(&FaultHost::Sink, this, nullptr, 0);
    Config("WaitForInstallToComplete=0");
    Config(getenv("FAULTS_LOG") ? "LogLevel=4" : "LogLevel=1");
    on_fetch = [](FaultHost& host, const Request& r, int32_t&) {
      return host.Supply(r.task_id, r.path, r.offset, r.length);
    };
    on_list = [](FaultHost&, int64_t, const std::string&) { return 0; };
  }
  ~FaultHost() { Destroy(); }
  void Destroy() {
    if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
    handle_ = nullptr;
  }
  void* handle() const { return handle_; }

  int32_t Config(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 2, params, nullptr, nullptr);
  }
  // The answer of a setting query, as a number (-1 when it failed).
  int64_t Query(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    if (Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 2, params, nullptr, nullptr) != 0 || params[1] == 0) return -1;
    return atoll(reinterpret_cast<const char*>(params[1]));
  }
  int32_t SetRoot() {
    return Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, reinterpret_cast<intptr_t>(root_.c_str()), 0);
  }
  int32_t Install() { return Call(HALVEX_METHOD_INSTALL, {}); }
  int32_t Activate(bool synchronous) { return Call(HALVEX_METHOD_ACTIVATE, {synchronous ? 1 : 0}); }
  int32_t Deactivate() { return Call(HALVEX_METHOD_DEACTIVATE, {}); }
  int32_t Start() {
    int32_t rc = SetRoot();
    if (rc == 0) rc = Install();
    if (rc == 0) rc = Activate(true);
    return rc;
  }
  std::string LastErrorText() { return Halvex_Corvane_GetLastError(handle_); }
  int32_t LastErrorCode() { return Halvex_Corvane_GetLastErrorCode(handle_); }

  // A remote file appears locally as a dehydrated placeholder.
  int32_t AddRemoteFile(const std::string& name, std::string bytes) {
    const std::string path = "\\" + name;
    int64_t size = static_cast<int64_t>(bytes.size());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remote_[path] = std::move(bytes);
    }
    return CreateFile(path, size);
  }
  int32_t CreateFile(const std::string& path, int64_t size) {
    int64_t time = 133000000000000000;
    return Call(HALVEX_METHOD_CREATE_FILE,
                {reinterpret_cast<intptr_t>(path.c_str()), 0, reinterpret_cast<intptr_t>(&size),
                 reinterpret_cast<intptr_t>(&time), reinterpret_cast<intptr_t>(&time),
                 reinterpret_cast<intptr_t>(&time)});
  }
  int32_t CreateFolder(const std::string& path) {
    return Call(HALVEX_METHOD_CREATE_FOLDER, {reinterpret_cast<intptr_t>(path.c_str()), 0});
  }
  // Items of a listing task, with one fixed time.
  int32_t ListFile(int64_t task, const std::string& name, int64_t size) {
    int64_t time = 133000000000000000;
    return Call(HALVEX_METHOD_LIST_FILE,
                {reinterpret_cast<intptr_t>(&task), reinterpret_cast<intptr_t>(name.c_str()), 0,
                 reinterpret_cast<intptr_t>(&size), reinterpret_cast<intptr_t>(&time),
                 reinterpret_cast<intptr_t>(&time), reinterpret_cast<intptr_t>(&time)});
  }
  int32_t ListFolder(int64_t task, const std::string& name) {
    int64_t time = 133000000000000000;
    return Call(HALVEX_METHOD_LIST_FOLDER,
                {reinterpret_cast<intptr_t>(&task), reinterpret_cast<intptr_t>(name.c_str()), 0,
                 reinterpret_cast<intptr_t>(&time), reinterpret_cast<intptr_t>(&time),
                 reinterpret_cast<intptr_t>(&time)});
  }
  std::string Remote(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_["\\" + name];
  }

  int32_t Call(int32_t method, std::vector<intptr_t> params) {
    params.resize(8, 0);
    std::vector<int32_t> sizes(8, 0);
    return Halvex_Corvane_Do(handle_, method, 8, params.data(), sizes.data(), nullptr);
  }
  int32_t Put(int64_t task_id, const char* data, size_t count) {
    intptr_t params[4] = {reinterpret_cast<intptr_t>(&task_id), reinterpret_cast<intptr_t>(data), 0,
                          static_cast<intptr_t>(count)};
    int32_t sizes[4] = {0, static_cast<int32_t>(count), 0, 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_PUT_ITEM_DATA, 4, params, sizes, nullptr);
  }
  int32_t Finalize(int64_t task_id, int32_t code) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(&task_id), code};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_FINALIZE_TASK, 2, params, nullptr, nullptr);
  }
  // Sends [offset, offset + length) of the remote bytes in `step`-byte calls,
  // waiting `pause` between calls, then finalizes. The first failure is returned.
  int32_t Supply(int64_t task_id, const std::string& path, int64_t offset, int64_t length, size_t step = 409600,
                 std::chrono::milliseconds pause = 0ms) {
    std::string bytes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::string& all = remote_[path];
      if (offset < static_cast<int64_t>(all.size())) bytes = all.substr(offset, length);
    }
    for (size_t done = 0; done < bytes.size(); done += step) {
      if (done > 0) std::this_thread::sleep_for(pause);
      const int32_t rc = Put(task_id, bytes.data() + done, std::min(step, bytes.size() - done));
      if (rc != 0) return rc;
    }
    return Finalize(task_id, 0);
  }

  std::vector<SeenEvent> Events(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SeenEvent> out;
    for (const SeenEvent& e : events_)
      if (e.id == id) out.push_back(e);
    return out;
  }
  bool WaitFor(int32_t id, size_t n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] {
      return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                               [&](const SeenEvent& e) { return e.id == id; })) >= n;
    });
  }

 private:
  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* p, int32_t*) {
    auto* self = static_cast<FaultHost*>(context);
    if (self->throw_from_other_events && id != HALVEX_EVENT_GET_FILE_DATA && id != HALVEX_EVENT_LIST_DIRECTORY) {
      if (id != HALVEX_EVENT_LOG) self->thrown_events++;
      throw std::runtime_error("host handler failed");
    }
    if (id == HALVEX_EVENT_LOG) {
      if (getenv("FAULTS_LOG")) fprintf(stderr, "LOG %s\n", reinterpret_cast<const char*>(p[1]));
      return 0;
    }
    SeenEvent event{id, 0, {}, 0};
    if (id == HALVEX_EVENT_ERROR || id == HALVEX_EVENT_ACTIVATED) {
      event.code = static_cast<int32_t>(p[0]);
    } else if (count >= 2 && p[0] != 0 && p[1] != 0) {
      event.task_id = *reinterpret_cast<const int64_t*>(p[0]);
      event.path = reinterpret_cast<const char*>(p[1]);
      event.code = static_cast<int32_t>(p[count - 1]);
      if (id == HALVEX_EVENT_UPDATE_FILE || id == HALVEX_EVENT_UPDATE_FOLDER) event.code = static_cast<int32_t>(p[2]);
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back(event);
    }
    self->cv_.notify_all();
    if (id == HALVEX_EVENT_GET_FILE_DATA) {
      const Request r{event.task_id, event.path, *reinterpret_cast<const int64_t*>(p[2]),
                      *reinterpret_cast<const int64_t*>(p[3])};
      int32_t answer = 0;
      const int32_t rc = self->on_fetch(*self, r, answer);
      p[4] = answer;
      return rc;
    }
    if (id == HALVEX_EVENT_LIST_DIRECTORY) {
      int32_t answer = self->on_list(*self, event.task_id, event.path);
      p[3] = answer;
    }
    return 0;
  }

  std::string root_;
  void* handle_ = nullptr;

 public:
  std::atomic<int> thrown_events{0};

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::string> remote_;
  std::vector<SeenEvent> events_;
};

// A temporary sync root and platform state folder for one test.
class TempSpace {
 public:
  explicit TempSpace(const std::string& base_dir = "/tmp") {
    std::string pattern = base_dir + "/corvane-faults-XXXXXX";
    base_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(state());
    std::filesystem::create_directories(root());
    setenv("CORVANE_STATE_DIR", state().c_str(), 1);
  }
  ~TempSpace() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  std::string root() const { return base_ + "/root"; }
  std::string state() const { return base_ + "/state"; }
  const std::string& base() const { return base_; }

 private:
  std::string base_;
};

}  // namespace corvane::faults
