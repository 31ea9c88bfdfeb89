// A small cloud provider written against the C exports only, the way a
// host application would write one: it owns the "remote" bytes of each file,
// creates dehydrated placeholders for them and serves GetFileData in one of
// several styles. Shared by the end-to-end tests and the hydration benchmark.
#pragma once


#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
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

using HostEvent = test_common::Event;
using test_common::RemoteBytes;
using test_common::TempSpace;

class ProviderHost : public test_common::Host {
 public:
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
    answer = [this](HostEvent& e, intptr_t* p, int32_t*) { return Answer(e, p); };
    worker_ = std::thread([this] { WorkerLoop(); });
  }
  ~ProviderHost() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      hold_.clear();
    }
    cv_.notify_all();
    worker_.join();
    Destroy();
  }

  // Synchronously.
  int32_t Activate() {
    const int32_t rc = SetRoot(root_);
    return rc == 0 ? Host::Activate(true) : rc;
  }
  int32_t Install() {
    const int32_t rc = SetRoot(root_);
    return rc == 0 ? Host::Install() : rc;
  }
  // Installs and synchronously activates the provider on the root.
  int32_t Start() {
    const int32_t rc = Install();
    return rc == 0 ? Activate() : rc;
  }

  // Sends all of the file's remote bytes for a pending task, not finalizing.
  int32_t Put(int64_t task_id, const std::string& name) { return Supply(task_id, "\\" + name, 0, INT64_MAX, false); }

 private:
  int32_t OnGetFileData(const HostEvent& e, intptr_t* p) {
    const int64_t task_id = e.task_id, offset = e.offset, length = e.length;
    const std::string path = e.path;
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

  int32_t Answer(const HostEvent& e, intptr_t* p) {
    if (e.id == HALVEX_EVENT_CREATE_FILE) {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [&] { return stop_ || hold_.empty() || hold_ != e.path; });
    }
    if (e.id != HALVEX_EVENT_GET_FILE_DATA) return 0;
    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = OnGetFileData(e, p);
    handler_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    ++requests;
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
  std::map<std::string, bool> retried_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::string hold_;
  std::thread worker_;
};

}  // namespace corvane::e2e
