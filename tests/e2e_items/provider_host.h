// A small provider written against the public header only: it keeps a
// "remote" tree in memory, answers listings and data requests from it, and
// records every item event the component raises. The test plays the user's
// applications through platform::local::Client.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <deque>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "halvex/corvane.h"
#include "platform/local/client.h"

namespace e2e {

constexpr int64_t kFileTime = 133000000000000000LL;  // 2022-06-18

struct RemoteItem {
  bool folder = false;
  std::string data;
};

struct Event {
  int32_t id = 0;
  std::string path;
  std::string new_path;  // renames
  int32_t flags = 0;     // UpdateFlags of updates
  int64_t size = -1;     // Size of file updates
};

class Provider {
 public:
  // Remote tree, keyed by relative path with backslashes ("\docs\a.txt").
  std::map<std::string, RemoteItem> remote;
  // Paths whose CreateFile and UpdateFile events the backend refuses.
  std::vector<std::string> refuse;

  Provider() {
    handle_ = Halvex_Corvane_Create(&Provider::Sink, this, nullptr, 0);
    if (getenv("CORVANE_E2E_LOG") != nullptr) Config("LogLevel=4");
  }
  ~Provider() { Destroy(); }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  void Destroy() {
    if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
    handle_ = nullptr;
  }

  int32_t Config(const std::string& setting) {
    std::vector<intptr_t> p = {Str(setting), 0};
    return Do(HALVEX_METHOD_CONFIG, p);
  }
  int32_t SetRoot(const std::string& root) {
    root_text_ = root;
    return Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, Str(root_text_), 0);
  }
  int32_t Install() { return Plain(HALVEX_METHOD_INSTALL); }
  int32_t Uninstall() { return Plain(HALVEX_METHOD_UNINSTALL); }
  int32_t Activate() {
    std::vector<intptr_t> p = {1};
    return Do(HALVEX_METHOD_ACTIVATE, p);
  }
  int32_t Deactivate() { return Plain(HALVEX_METHOD_DEACTIVATE); }
  std::string LastError() { return Halvex_Corvane_GetLastError(handle_); }

  // Remote changes told to the component.
  int32_t CreateFile(const std::string& path, const std::string& data) {
    SetRemote(path, {false, data});
    int64_t size = static_cast<int64_t>(data.size()), t = kFileTime;
    std::vector<intptr_t> p = {Str(path), 0, Ptr(&size), Ptr(&t), Ptr(&t), Ptr(&t)};
    return Do(HALVEX_METHOD_CREATE_FILE, p);
  }
  int32_t CreateFolder(const std::string& path) {
    SetRemote(path, {true, ""});
    int64_t t = kFileTime;
    std::vector<intptr_t> p = {Str(path), 0, Ptr(&t), Ptr(&t), Ptr(&t)};
    return Do(HALVEX_METHOD_CREATE_FOLDER, p);
  }
  // A new remote version of a file, told through the UpdateFile method.
  int32_t UpdateFile(const std::string& path, const std::string& data) {
    SetRemote(path, {false, data});
    int64_t size = static_cast<int64_t>(data.size()), t = kFileTime + 10000000;
    std::vector<intptr_t> p = {Str(path), 0, Ptr(&size), Ptr(&t), Ptr(&t), Ptr(&t)};
    return Do(HALVEX_METHOD_UPDATE_FILE, p);
  }
  void SetRemote(const std::string& path, RemoteItem item) {
    std::lock_guard<std::mutex> lock(mutex_);
    remote[path] = std::move(item);
  }
  // Methods taking a path and up to two integers or strings.
  int32_t Call(int32_t method, const std::string& path, intptr_t a = 0, intptr_t b = 0) {
    std::vector<intptr_t> p = {Str(path), a, b};
    return Do(method, p);
  }
  int32_t Rename(int32_t method, const std::string& from, const std::string& to, int overwrite = 0) {
    return Call(method, from, Str(to), overwrite);
  }
  // Any method with its argument slots laid out by the caller.
  int32_t Method(int32_t method, std::vector<intptr_t>& slots) { return Do(method, slots); }
  // Get*Status / Get*Attributes: the out value, or -1 with the result in `rc`.
  int32_t Query(int32_t method, const std::string& path, int32_t* rc = nullptr) {
    std::vector<intptr_t> p = {Str(path), 0};
    const int32_t result = Do(method, p);
    if (rc != nullptr) *rc = result;
    return result == 0 ? static_cast<int32_t>(p[1]) : -1;
  }

  std::mutex& mutex() { return mutex_; }  // guards `remote` while events run
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t Count(int32_t id, const std::string& path = "") {
    size_t n = 0;
    for (const Event& e : Events()) n += e.id == id && (path.empty() || e.path == path);
    return n;
  }
  // Waits until `done` holds over the events, up to `ms`.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(events_); });
  }
  bool WaitForEvent(int32_t id, const std::string& path, int ms = 10000) {
    return WaitFor(
        [&](const std::vector<Event>& all) {
          for (const Event& e : all) {
            if (e.id == id && e.path == path) return true;
          }
          return false;
        },
        ms);
  }

 private:
  static intptr_t Ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }
  // Strings stay alive until the handle is destroyed; calls are few.
  intptr_t Str(const std::string& s) {
    std::lock_guard<std::mutex> lock(strings_mutex_);
    strings_.push_back(s);
    return Ptr(strings_.back().c_str());
  }
  int32_t Do(int32_t method, std::vector<intptr_t>& p, std::vector<int32_t>* sizes = nullptr) {
    std::vector<int32_t> zero(p.size(), 0);
    return Halvex_Corvane_Do(handle_, method, static_cast<int32_t>(p.size()), p.data(),
                             sizes != nullptr ? sizes->data() : zero.data(), nullptr);
  }
  int32_t Plain(int32_t method) {
    std::vector<intptr_t> p = {0};
    return Do(method, p);
  }
  static std::string Text(intptr_t slot) { return slot != 0 ? reinterpret_cast<const char*>(slot) : ""; }
  static int64_t Int64(intptr_t slot) { return slot != 0 ? *reinterpret_cast<const int64_t*>(slot) : 0; }

  void List(int64_t task, const std::string& folder) {
    const std::string prefix = folder == "\\" ? "\\" : folder + "\\";
    std::map<std::string, RemoteItem> snapshot;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      snapshot = remote;
    }
    for (const auto& [path, item] : snapshot) {
      if (path.compare(0, prefix.size(), prefix) != 0 || path.find('\\', prefix.size()) != std::string::npos) {
        continue;
      }
      const std::string name = path.substr(prefix.size());
      int64_t t = kFileTime, size = static_cast<int64_t>(item.data.size());
      std::vector<intptr_t> p;
      if (item.folder) {
        p = {Ptr(&task), Ptr(name.c_str()), 0, Ptr(&t), Ptr(&t), Ptr(&t)};
      } else {
        p = {Ptr(&task), Ptr(name.c_str()), 0, Ptr(&size), Ptr(&t), Ptr(&t), Ptr(&t)};
      }
      Do(item.folder ? HALVEX_METHOD_LIST_FOLDER : HALVEX_METHOD_LIST_FILE, p);
    }
  }
  int32_t SendData(int64_t task, const std::string& path, int64_t offset, int64_t length) {
    std::string data;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = remote.find(path);
      if (it == remote.end()) return HALVEX_ERR_ITEM_NOT_FOUND;
      data = it->second.data;
    }
    if (offset < static_cast<int64_t>(data.size())) {
      data = data.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
      std::vector<intptr_t> p = {Ptr(&task), Ptr(data.data()), 0, static_cast<intptr_t>(data.size())};
      std::vector<int32_t> sizes = {0, static_cast<int32_t>(data.size()), 0, 0};
      const int32_t rc = Do(HALVEX_METHOD_PUT_ITEM_DATA, p, &sizes);
      if (rc != 0) return rc;
    }
    std::vector<intptr_t> finish = {Ptr(&task), 0};
    return Do(HALVEX_METHOD_FINALIZE_TASK, finish);
  }

  // The host applies the renames it is told of, content and all.
  void MoveRemote(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, RemoteItem> moved;
    for (auto it = remote.begin(); it != remote.end();) {
      if (it->first == from || it->first.rfind(from + "\\", 0) == 0) {
        moved[to + it->first.substr(from.size())] = std::move(it->second);
        it = remote.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [path, item] : moved) remote[path] = std::move(item);
  }

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<Provider*>(context);
    if (id == HALVEX_EVENT_LOG && count == 2 && getenv("CORVANE_E2E_LOG") != nullptr) {
      fprintf(stderr, "log: %s\n", Text(params[1]).c_str());
    }
    if (id == HALVEX_EVENT_LOG || id == HALVEX_EVENT_ERROR || id == HALVEX_EVENT_ACTIVATED || count < 2) return 0;
    Event event{id, Text(params[1]), "", 0};
    if (id == HALVEX_EVENT_RENAME_FILE || id == HALVEX_EVENT_RENAME_FOLDER) event.new_path = Text(params[2]);
    if (id == HALVEX_EVENT_UPDATE_FILE || id == HALVEX_EVENT_UPDATE_FOLDER) event.flags = static_cast<int32_t>(params[2]);
    if (id == HALVEX_EVENT_UPDATE_FILE) event.size = Int64(params[4]);
    int32_t result = 0;
    if (id == HALVEX_EVENT_LIST_DIRECTORY) {
      self->List(Int64(params[0]), event.path);
    } else if (id == HALVEX_EVENT_GET_FILE_DATA) {
      result = self->SendData(Int64(params[0]), event.path, Int64(params[2]), Int64(params[3]));
    } else if (id == HALVEX_EVENT_RENAME_FILE || id == HALVEX_EVENT_RENAME_FOLDER) {
      self->MoveRemote(event.path, event.new_path);
    } else if (id == HALVEX_EVENT_CREATE_FILE || id == HALVEX_EVENT_UPDATE_FILE) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      for (const std::string& refused : self->refuse) {
        if (refused == event.path) params[count - 1] = HALVEX_ERR_BACKEND;
      }
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back(event);
    self->cv_.notify_all();
    return result;
  }

  void* handle_ = nullptr;
  std::string root_text_;
  std::mutex mutex_, strings_mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::deque<std::string> strings_;  // a deque never moves what it holds
};

// A temporary sync root and platform state folder, an installed and active
// provider over it, and an application session on the root.
class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base_template[] = "/tmp/corvane-e2e-items-XXXXXX";
    base_ = mkdtemp(base_template);
    root_ = base_ + "/root";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(base_ + "/state");
    setenv("CORVANE_STATE_DIR", (base_ + "/state").c_str(), 1);
    client_ = std::make_unique<corvane::platform::local::Client>(root_);
  }
  void TearDown() override {
    provider_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  // Installs and activates a provider whose remote tree is `remote`.
  Provider& Start(std::map<std::string, RemoteItem> remote = {}) {
    provider_ = std::make_unique<Provider>();
    provider_->remote = std::move(remote);
    provider_->Config("WaitForInstallToComplete=0");
    EXPECT_EQ(provider_->SetRoot(root_), 0);
    EXPECT_EQ(provider_->Install(), 0) << provider_->LastError();
    EXPECT_EQ(provider_->Activate(), 0) << provider_->LastError();
    return *provider_;
  }
  // Every change made before this call has been processed by the watcher:
  // a fresh file made now is reported, and changes are handled in order.
  void Settle() {
    const std::string name = "settle-" + std::to_string(++settles_) + ".txt";
    ASSERT_EQ(client_->CreateFile(name, "s"), 0u);
    ASSERT_TRUE(provider_->WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\" + name)) << name;
  }
  corvane::platform::local::ItemState StateOf(const std::string& path) {
    corvane::platform::local::ItemState state;
    EXPECT_EQ(client_->State(path, state), 0u) << path;
    return state;
  }
  bool Exists(const std::string& path) { return std::filesystem::exists(root_ + "/" + path); }

  std::string base_, root_;
  std::unique_ptr<corvane::platform::local::Client> client_;
  std::unique_ptr<Provider> provider_;
  int settles_ = 0;
};

}  // namespace e2e
