// A small provider written against the public C interface only: a remote
// tree held in memory, answered to ListDirectory synchronously or from a
// thread of its own, and a record of every event the component raises.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvex/corvane.h"

namespace corvane::e2e {

struct RemoteItem {
  std::string name;
  bool folder = false;
  int32_t attributes = 0;  // component attribute bits
  int64_t size = 0;
  int64_t creation = 0, last_access = 0, last_write = 0;  // file times
};

struct SeenEvent {
  int32_t id;
  std::string path;
  int32_t code;  // ErrorCode of Error, UpdateFlags of UpdateFile/UpdateFolder
};

class RemoteHost {
 public:
  enum class Answer { kSynchronous, kAsynchronous };

  explicit RemoteHost(const std::string& root) {
    handle_ = Halvex_Corvane_Create(&RemoteHost::Sink, this, nullptr, 0);
    Config("WaitForInstallToComplete=0");
    Config(getenv("E2E_LOG") ? "LogLevel=4" : "LogLevel=1");
    Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, reinterpret_cast<intptr_t>(root.c_str()), 0);
  }
  ~RemoteHost() {
    JoinAnswers();
    Halvex_Corvane_Destroy(handle_);
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
  int64_t Query(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    if (Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 2, params, nullptr, nullptr) != 0 || params[1] == 0) return -1;
    return atoll(reinterpret_cast<const char*>(params[1]));
  }

  int32_t Config(const std::string& setting) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting.c_str()), 0};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_CONFIG, 2, params, nullptr, nullptr);
  }
  int32_t Call(int32_t method) { return Halvex_Corvane_Do(handle_, method, 0, nullptr, nullptr, nullptr); }
  int32_t Activate() {
    intptr_t params[1] = {1};
    return Halvex_Corvane_Do(handle_, HALVEX_METHOD_ACTIVATE, 1, params, nullptr, nullptr);
  }
  // CreateFile / UpdateFile (or the folder twins) as a remote change.
  int32_t Apply(int32_t method, const std::string& path, const RemoteItem& item) {
    int64_t size = item.size, c = item.creation, a = item.last_access, w = item.last_write;
    const bool folder = method == HALVEX_METHOD_CREATE_FOLDER || method == HALVEX_METHOD_UPDATE_FOLDER;
    std::vector<intptr_t> params = {reinterpret_cast<intptr_t>(path.c_str()), item.attributes};
    if (!folder) params.push_back(reinterpret_cast<intptr_t>(&size));
    for (int64_t* t : {&c, &a, &w}) params.push_back(reinterpret_cast<intptr_t>(t));
    return Halvex_Corvane_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(), nullptr, nullptr);
  }
  std::string LastError() { return Halvex_Corvane_GetLastError(handle_); }
  void* handle() const { return handle_; }

  int ListRequests(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_requests_[folder];
  }
  int refused() const { return refused_; }
  std::vector<SeenEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  int32_t ListOne(int64_t task, const RemoteItem& item) {
    int64_t size = item.size, c = item.creation, a = item.last_access, w = item.last_write;
    std::vector<intptr_t> params = {reinterpret_cast<intptr_t>(&task), reinterpret_cast<intptr_t>(item.name.c_str()),
                                    item.attributes};
    if (!item.folder) params.push_back(reinterpret_cast<intptr_t>(&size));
    for (int64_t* t : {&c, &a, &w}) params.push_back(reinterpret_cast<intptr_t>(t));
    const int32_t method = item.folder ? HALVEX_METHOD_LIST_FOLDER : HALVEX_METHOD_LIST_FILE;
    return Halvex_Corvane_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(), nullptr, nullptr);
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
      int64_t id = task;
      const int32_t listed = ListAll(task, folder);
      if (!outcome.second) return;
      intptr_t params[2] = {reinterpret_cast<intptr_t>(&id), outcome.first != 0 ? outcome.first : listed};
      Halvex_Corvane_Do(handle_, HALVEX_METHOD_FINALIZE_TASK, 2, params, nullptr, nullptr);
    });
    return HALVEX_ERR_PENDING;
  }

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<RemoteHost*>(context);
    auto text = [&](int i) { return std::string(params[i] ? reinterpret_cast<const char*>(params[i]) : ""); };
    switch (id) {
      case HALVEX_EVENT_LOG:
        if (getenv("E2E_LOG")) fprintf(stderr, "LOG %s\n", text(1).c_str());
        return 0;
      case HALVEX_EVENT_LIST_DIRECTORY:
        params[3] = self->OnListDirectory(*reinterpret_cast<int64_t*>(params[0]), text(1));
        break;
      case HALVEX_EVENT_ERROR:
        self->Record({id, text(1), static_cast<int32_t>(params[0])});
        return 0;
      default: {
        // Every other event carries its path in slot 1 and is answered "done".
        const bool update = id == HALVEX_EVENT_UPDATE_FOLDER || id == HALVEX_EVENT_UPDATE_FILE;
        self->Record({id, count > 1 ? text(1) : "", update ? static_cast<int32_t>(params[2]) : 0});
        break;
      }
    }
    return 0;
  }
  void Record(SeenEvent event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }

  void* handle_ = nullptr;
  Answer answer_ = Answer::kSynchronous;
  std::map<std::string, std::vector<RemoteItem>> tree_;  // read-only once listing starts
  std::mutex mutex_;
  std::map<std::string, int> list_requests_;
  std::map<std::string, std::pair<int32_t, bool>> next_outcome_;
  std::vector<SeenEvent> events_;
  std::vector<std::thread> answer_threads_;
  std::atomic<int> refused_{0};
};

}  // namespace corvane::e2e
