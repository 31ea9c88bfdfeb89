// A small cloud provider written against the C exports only, the way a
// host application would write one: it owns the "remote" bytes of each file,
// creates dehydrated placeholders for them and serves GetFileData in one of
// several styles. Shared by the end-to-end tests and the hydration benchmark.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/test_process.h"
#include "halvex/corvane.h"

namespace corvane::e2e {

// How the GetFileData handler answers.
enum class Serve {
  kInline,         // PutItemData and FinalizeTask inside the handler
  kAsync,          // pending; a host thread supplies the data and finalizes
  kRetryThenServe, // retry code first, then served inline when fired again
  kFail,           // the handler fails with kFailCode
  kAsyncFail,      // pending; a host thread finalizes with kFailCode
  kNever,          // pending, and the host never finishes the task
};

constexpr int32_t kFailCode = HALVEX_ERR_BACKEND;

struct HostEvent {
  int32_t id;
  int64_t task_id;
  std::string path;
  int32_t code;  // ResultCode slot as the handler received it, or ErrorCode
};

using test_common::RemoteBytes;

class ProviderHost {
 public:
  // Bytes handed to each PutItemData call; deliberately not a multiple of the
  // library's transfer chunk.
  size_t put_size = 300000;
  std::atomic<Serve> serve{Serve::kInline};
  // Time spent inside GetFileData handlers and requests seen, for the benchmark.
  std::atomic<int64_t> handler_ns{0};
  std::atomic<int64_t> requests{0};

  // Holds the CreateFile handler of this path (a local file the watcher
  // reports) until Release: the watcher's worker is busy meanwhile.
  void Hold(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = path;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hold_.clear();
    }
    cv_.notify_all();
  }

  explicit ProviderHost(const std::string& root) : root_(root) {
    handle_ = Halvex_Corvane_Create(&ProviderHost::Sink, this, nullptr, 0);
    worker_ = std::thread([this] { WorkerLoop(); });
    if (getenv("CORVANE_E2E_LOG") != nullptr) Config("LogLevel=4");
  }
  ~ProviderHost() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      hold_.clear();
    }
    cv_.notify_all();
    worker_.join();
    if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
  }

  int32_t Config(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    int32_t sizes[2] = {0, 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 2, params, sizes, nullptr);
  }
  // Installs and synchronously activates the provider on the root.
  int32_t Start() {
    const int32_t rc = Install();
    return rc == 0 ? Activate() : rc;
  }
  // Synchronously.
  int32_t Activate() {
    const int32_t rc = Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0,
                                          reinterpret_cast<intptr_t>(root_.c_str()), 0);
    return rc == 0 ? Call(HALVEX_METHOD_ACTIVATE, {1}) : rc;
  }
  int32_t Install() {
    const int32_t rc = Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0,
                                          reinterpret_cast<intptr_t>(root_.c_str()), 0);
    return rc == 0 ? Call(HALVEX_METHOD_INSTALL, {}) : rc;
  }
  int32_t Deactivate() { return Call(HALVEX_METHOD_DEACTIVATE, {}); }
  int32_t Uninstall() { return Call(HALVEX_METHOD_UNINSTALL, {}); }
  // The message of the last failed call.
  std::string LastError() const {
    const char* text = Halvex_Corvane_GetLastError(handle_);
    return text ? text : "";
  }

  // Tells the library about a remote file: a dehydrated placeholder appears.
  int32_t AddRemoteFile(const std::string& name, std::string bytes) {
    return TellRemoteFile(HALVEX_METHOD_CREATE_FILE, name, std::move(bytes));
  }
  // A new remote version told through UpdateFile, same times as before.
  int32_t UpdateRemoteFile(const std::string& name, std::string bytes) {
    return TellRemoteFile(HALVEX_METHOD_UPDATE_FILE, name, std::move(bytes));
  }
  // Hands a remote file's bytes back (a benchmark reuses its buffer).
  std::string Take(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto node = remote_.extract("\\" + name);
    return node ? std::move(node.mapped()) : std::string();
  }
  // Sends all of the file's remote bytes for a pending task, not finalizing.
  int32_t Put(int64_t task_id, const std::string& name) {
    return Supply(task_id, "\\" + name, 0, INT64_MAX, false);
  }
  const std::string& Remote(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_["\\" + name];
  }

  std::vector<HostEvent> Events(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HostEvent> out;
    for (const HostEvent& e : events_)
      if (e.id == id) out.push_back(e);
    return out;
  }
  // Waits until `n` events of `id` have arrived; false on timeout.
  bool WaitFor(int32_t id, size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] {
      size_t count = 0;
      for (const HostEvent& e : events_) count += e.id == id;
      return count >= n;
    });
  }

 private:
  int32_t Call(int32_t method, std::vector<intptr_t> params) {
    params.resize(8, 0);
    std::vector<int32_t> sizes(8, 0);
    return Halvex_Corvane_Do(handle_, method, 8, params.data(), sizes.data(), nullptr);
  }

  int32_t TellRemoteFile(int32_t method, const std::string& name, std::string bytes) {
    const std::string path = "\\" + name;
    int64_t size = static_cast<int64_t>(bytes.size());
    int64_t time = 133000000000000000;  // 2022, any valid file time
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remote_[path] = std::move(bytes);
    }
    return Call(method, {reinterpret_cast<intptr_t>(path.c_str()), 0, reinterpret_cast<intptr_t>(&size),
                         reinterpret_cast<intptr_t>(&time), reinterpret_cast<intptr_t>(&time),
                         reinterpret_cast<intptr_t>(&time)});
  }

  int32_t Finalize(int64_t task_id, int32_t code) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(&task_id), code};
    int32_t sizes[2] = {0, 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_FINALIZE_TASK, 2, params, sizes, nullptr);
  }

  // Supplies [offset, offset + length) of the path's remote bytes, then
  // finalizes; the first failing call's code is returned.
  int32_t Supply(int64_t task_id, const std::string& path, int64_t offset, int64_t length, bool finalize = true) {
    // Map nodes stay put and a file's bytes change only between transfers, so
    // the view stays valid without the lock (and without a copy of a large file).
    std::string_view bytes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::string& all = remote_[path];
      if (offset < static_cast<int64_t>(all.size())) bytes = std::string_view(all).substr(offset, length);
    }
    for (size_t done = 0; done < bytes.size(); done += put_size) {
      const size_t count = std::min(put_size, bytes.size() - done);
      // Index 1 into a buffer that starts one byte early checks that the
      // library honours Index.
      const char* start = bytes.data() + done - (done > 0 ? 1 : 0);
      const intptr_t index = done > 0 ? 1 : 0;
      intptr_t params[4] = {reinterpret_cast<intptr_t>(&task_id), reinterpret_cast<intptr_t>(start), index,
                            static_cast<intptr_t>(count)};
      int32_t sizes[4] = {0, static_cast<int32_t>(count + index), 0, 0};
      const int32_t rc = Halvex_Corvane_Do(handle_, HALVEX_METHOD_PUT_ITEM_DATA, 4, params, sizes, nullptr);
      if (rc != 0) return rc;
    }
    return finalize ? Finalize(task_id, 0) : 0;
  }

  int32_t OnGetFileData(intptr_t* p) {
    const int64_t task_id = *reinterpret_cast<const int64_t*>(p[0]);
    const std::string path = reinterpret_cast<const char*>(p[1]);
    const int64_t offset = *reinterpret_cast<const int64_t*>(p[2]);
    const int64_t length = *reinterpret_cast<const int64_t*>(p[3]);
    switch (serve.load()) {
      case Serve::kInline:
        return Supply(task_id, path, offset, length);
      case Serve::kRetryThenServe: {
        bool first;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          first = retried_.insert({path, true}).second;
        }
        if (!first) return Supply(task_id, path, offset, length);
        p[4] = HALVEX_ERR_RETRY;
        return 0;
      }
      case Serve::kAsync: {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back([=, this] { Supply(task_id, path, offset, length); });
        cv_.notify_all();
        p[4] = HALVEX_ERR_PENDING;
        return 0;
      }
      case Serve::kAsyncFail: {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back([=, this] { Finalize(task_id, kFailCode); });
        cv_.notify_all();
        p[4] = HALVEX_ERR_PENDING;
        return 0;
      }
      case Serve::kNever:
        p[4] = HALVEX_ERR_PENDING;
        return 0;
      case Serve::kFail:
        return kFailCode;
    }
    return 0;
  }

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* p, int32_t*) {
    auto* self = static_cast<ProviderHost*>(context);
    if (id == HALVEX_EVENT_LOG) {
      // CORVANE_E2E_LOG=1 shows the library's log lines (LogLevel decides which).
      if (getenv("CORVANE_E2E_LOG") != nullptr && p[1] != 0) fprintf(stderr, "log: %s\n", (const char*)p[1]);
      return 0;
    }
    HostEvent event{id, 0, {}, 0};
    if (id == HALVEX_EVENT_ERROR) {
      event.code = static_cast<int32_t>(p[0]);
    } else if (count >= 2 && p[0] != 0 && p[1] != 0) {
      event.task_id = *reinterpret_cast<const int64_t*>(p[0]);
      event.path = reinterpret_cast<const char*>(p[1]);
      event.code = static_cast<int32_t>(p[count - 1]);
    }
    // Recorded before the handler runs so waiters see the request at once.
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back(event);
    }
    self->cv_.notify_all();
    if (id == HALVEX_EVENT_CREATE_FILE) {
      std::unique_lock<std::mutex> lock(self->mutex_);
      self->cv_.wait(lock, [&] { return self->stop_ || self->hold_.empty() || self->hold_ != event.path; });
    }
    if (id != HALVEX_EVENT_GET_FILE_DATA) return 0;
    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = self->OnGetFileData(p);
    self->handler_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    ++self->requests;
    return rc;
  }

  void WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::string root_;
  void* handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::string> remote_;
  std::map<std::string, bool> retried_;
  std::vector<HostEvent> events_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::string hold_;
  std::thread worker_;
};

// A temporary sync root (and on Linux the platform's state folder) for one
// test or run.
class TempSpace {
 public:
#ifdef _WIN32
  TempSpace() {
    base_ = (std::filesystem::temp_directory_path() / ("corvane-e2e-" + std::to_string(std::random_device()())))
                .string();
    std::filesystem::create_directories(root());
  }
  std::string root() const { return base_ + "\\root"; }
#else
  explicit TempSpace(const std::string& base_dir = "/tmp") {
    std::string pattern = base_dir + "/corvane-e2e-XXXXXX";
    base_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(base_ + "/state");
    std::filesystem::create_directories(root());
    setenv("CORVANE_STATE_DIR", (base_ + "/state").c_str(), 1);
  }
  std::string root() const { return base_ + "/root"; }
#endif
  ~TempSpace() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  const std::string& base() const { return base_; }

 private:
  std::string base_;
};
}  // namespace corvane::e2e
