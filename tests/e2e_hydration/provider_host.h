// A small cloud provider written against the C exports only, the way a
// host application would write one: it owns the "remote" bytes of each file,
// creates dehydrated placeholders for them and serves GetFileData in one of
// several styles, and answers ListDirectory from a remote tree, at once or
// from a thread of its own. Shared by the end-to-end tests and the hydration
// benchmark.
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

// An item of a listed remote folder.
struct RemoteItem {
  std::string name;
  bool folder = false;
  int32_t attributes = 0;  // component attribute bits
  int64_t size = 0;
  int64_t creation = 0, last_access = 0, last_write = 0;  // file times
};

using HostEvent = test_common::Event;
using test_common::RemoteBytes;
using test_common::TempSpace;

class ProviderHost : public test_common::Host {
 public:
  enum class Listing { kSynchronous, kAsynchronous };
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
    JoinListings();
    Destroy();
  }
  void JoinListings() {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads.swap(listing_threads_);
    }
    for (std::thread& t : threads) t.join();
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

  // Adds an item to the remote folder `folder` ("\\" for the root, "\\a\\b" below it).
  void AddItem(const std::string& folder, RemoteItem item) { tree_[folder].push_back(std::move(item)); }
  void set_listing(Listing listing) { listing_ = listing; }
  // The next asynchronous listing of `folder` lists its items and then ends
  // with `code`; with `finalize` false it is never finalized at all.
  void FailNextListing(const std::string& folder, int32_t code, bool finalize = true) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_outcome_[folder] = {code, finalize};
  }
  // CreateFile / UpdateFile (or the folder twins) as a remote change.
  int32_t Apply(int32_t method, const std::string& path, const RemoteItem& item) {
    int64_t size = item.size, c = item.creation, a = item.last_access, w = item.last_write;
    const bool folder = method == HALVEX_METHOD_CREATE_FOLDER || method == HALVEX_METHOD_UPDATE_FOLDER;
    std::vector<intptr_t> params = {test_common::Ptr(path.c_str()), item.attributes};
    if (!folder) params.push_back(test_common::Ptr(&size));
    for (int64_t* t : {&c, &a, &w}) params.push_back(test_common::Ptr(t));
    return Do(method, params);
  }
  int ListRequests(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_requests_[folder];
  }
  int refused() const { return refused_; }

 private:
  int32_t ListOne(int64_t task, const RemoteItem& item) {
    int64_t size = item.size, c = item.creation, a = item.last_access, w = item.last_write;
    std::vector<intptr_t> params = {test_common::Ptr(&task), test_common::Ptr(item.name.c_str()), item.attributes};
    if (!item.folder) params.push_back(test_common::Ptr(&size));
    for (int64_t* t : {&c, &a, &w}) params.push_back(test_common::Ptr(t));
    return Do(item.folder ? HALVEX_METHOD_LIST_FOLDER : HALVEX_METHOD_LIST_FILE, params);
  }
  // Lists everything; a refused item does not end the listing, as a real
  // backend would carry on with the others.
  int32_t ListAll(int64_t task, const std::string& folder) {
    for (const RemoteItem& item : tree_[folder]) {
      if (ListOne(task, item) != 0) ++refused_;
    }
    return 0;
  }
  int32_t OnListDirectory(int64_t task, const std::string& folder) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++list_requests_[folder];
    }
    if (listing_ == Listing::kSynchronous) return ListAll(task, folder);
    std::lock_guard<std::mutex> lock(mutex_);
    std::pair<int32_t, bool> outcome{0, true};
    if (auto it = next_outcome_.find(folder); it != next_outcome_.end()) {
      outcome = it->second;
      next_outcome_.erase(it);
    }
    listing_threads_.emplace_back([this, task, folder, outcome] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const int32_t listed = ListAll(task, folder);
      if (outcome.second) Finalize(task, outcome.first != 0 ? outcome.first : listed);
    });
    return HALVEX_ERR_PENDING;
  }

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
    if (e.id == HALVEX_EVENT_LIST_DIRECTORY) p[3] = OnListDirectory(e.task_id, e.path);
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
  Listing listing_ = Listing::kSynchronous;
  std::map<std::string, std::vector<RemoteItem>> tree_;  // read-only once listing starts
  std::map<std::string, int> list_requests_;
  std::map<std::string, std::pair<int32_t, bool>> next_outcome_;
  std::vector<std::thread> listing_threads_;
  std::atomic<int> refused_{0};
};

}  // namespace corvane::e2e
