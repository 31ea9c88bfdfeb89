// A small provider written against the public C interface only: a remote
// tree held in memory, answered to ListDirectory synchronously or from a
// thread of its own, and a record of every event the component raises.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
#include "halvex/corvane.h"

namespace corvane::e2e {

struct RemoteItem {
  std::string name;
  bool folder = false;
  int32_t attributes = 0;  // component attribute bits
  int64_t size = 0;
  int64_t creation = 0, last_access = 0, last_write = 0;  // file times
};

using SeenEvent = test_common::Event;

class RemoteHost : public test_common::Host {
 public:
  enum class Answer { kSynchronous, kAsynchronous };

  explicit RemoteHost(const std::string& root) {
    Config("WaitForInstallToComplete=0");
    Config(getenv("E2E_LOG") ? "LogLevel=4" : "LogLevel=1");
    SetRoot(root);
    answer = [this](SeenEvent& e, intptr_t* params, int32_t*) {
      if (e.id == HALVEX_EVENT_LIST_DIRECTORY) params[3] = OnListDirectory(e.task_id, e.path);
      return 0;  // every other event is answered "done"
    };
  }
  ~RemoteHost() override {
    JoinAnswers();
    Destroy();
  }
  void JoinAnswers() {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads.swap(answer_threads_);
    }
    for (std::thread& t : threads) t.join();
  }

  // The remote folder `path` ("\\" for the root, "\\a\\b" below it).
  void Put(const std::string& folder, RemoteItem item) { tree_[folder].push_back(std::move(item)); }
  void set_answer(Answer answer) { answer_ = answer; }
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
    if (answer_ == Answer::kSynchronous) return ListAll(task, folder);
    std::lock_guard<std::mutex> lock(mutex_);
    std::pair<int32_t, bool> outcome{0, true};
    if (auto it = next_outcome_.find(folder); it != next_outcome_.end()) {
      outcome = it->second;
      next_outcome_.erase(it);
    }
    answer_threads_.emplace_back([this, task, folder, outcome] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const int32_t listed = ListAll(task, folder);
      if (outcome.second) Finalize(task, outcome.first != 0 ? outcome.first : listed);
    });
    return HALVEX_ERR_PENDING;
  }

  Answer answer_ = Answer::kSynchronous;
  std::map<std::string, std::vector<RemoteItem>> tree_;  // read-only once listing starts
  std::map<std::string, int> list_requests_;
  std::map<std::string, std::pair<int32_t, bool>> next_outcome_;
  std::vector<std::thread> answer_threads_;
  std::atomic<int> refused_{0};
};

}  // namespace corvane::e2e
