// A small provider written against the public header only: it keeps a
// "remote" tree in memory, answers listings and data requests from it, and
// records every item event the component raises. The test plays the user's
// applications through platform::local::Client.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
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

#include "common/host.h"
#include "halvex/corvane.h"
#include "platform/local/client.h"

namespace e2e {

using corvane::test_common::kFileTime;
using Event = corvane::test_common::Event;

struct RemoteItem {
  bool folder = false;
  std::string data;
};

class Provider : public corvane::test_common::Host {
 public:
  // The answer reaches into this object: stop the events before it goes.
  ~Provider() override { Destroy(); }
  // Remote tree, keyed by relative path with backslashes ("\\docs\\a.txt").
  std::map<std::string, RemoteItem> remote;
  // Paths whose create and update events the backend refuses, and names
  // it refuses to rename an item to.
  std::vector<std::string> refuse;

  Provider() {
    record_before_answer = false;  // a recorded listing or rename has been applied
    answer = [this](Event& e, intptr_t* params, int32_t*) { return Answer(e, params); };
  }

  int32_t SetRoot(const std::string& root) { return Host::SetRoot(root); }
  int32_t Activate() { return Host::Activate(true); }

  // Remote changes told to the component.
  int32_t CreateFile(const std::string& path, const std::string& data) {
    SetRemote(path, {false, data});
    return Host::CreateFile(Str(path), static_cast<int64_t>(data.size()));
  }
  int32_t CreateFolder(const std::string& path) {
    SetRemote(path, {true, ""});
    return Host::CreateFolder(Str(path));
  }
  // A new remote version of a file, told through the UpdateFile method.
  int32_t UpdateFile(const std::string& path, const std::string& data) {
    SetRemote(path, {false, data});
    return Host::UpdateFile(Str(path), static_cast<int64_t>(data.size()), kFileTime + 10000000);
  }
  void SetRemote(const std::string& path, RemoteItem item) {
    std::lock_guard<std::mutex> lock(mutex_);
    remote[path] = std::move(item);
  }
  // Methods taking a path and up to two integers or strings.
  int32_t Call(int32_t method, const std::string& path, intptr_t a = 0, intptr_t b = 0) {
    return Host::Call(method, {StrPtr(path), a, b});
  }
  int32_t Rename(int32_t method, const std::string& from, const std::string& to, int overwrite = 0) {
    return Call(method, from, StrPtr(to), overwrite);
  }
  // Any method with its argument slots laid out by the caller.
  int32_t Method(int32_t method, std::vector<intptr_t>& slots) { return Do(method, slots); }
  // Get*Status / Get*Attributes: the out value, or -1 with the result in `rc`.
  int32_t Query(int32_t method, const std::string& path, int32_t* rc = nullptr) {
    std::vector<intptr_t> p = {StrPtr(path), 0};
    const int32_t result = Do(method, p);
    if (rc != nullptr) *rc = result;
    return result == 0 ? static_cast<int32_t>(p[1]) : -1;
  }

  std::mutex& mutex() { return mutex_; }  // guards `remote` while events run
  // Waits until `done` holds over the events, up to `ms`.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int ms = 10000) {
    return WaitUntil([&] { return done(Events()); }, std::chrono::milliseconds(ms));
  }

 private:
  // Strings stay alive until the handle is destroyed; calls are few.
  const std::string& Str(const std::string& s) {
    std::lock_guard<std::mutex> lock(strings_mutex_);
    strings_.push_back(s);
    return strings_.back();
  }
  intptr_t StrPtr(const std::string& s) { return corvane::test_common::Ptr(Str(s).c_str()); }

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
      if (item.folder) {
        ListFolder(task, name);
      } else {
        ListFile(task, name, static_cast<int64_t>(item.data.size()));
      }
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
      const int32_t rc = Put(task, data.data(), data.size());
      if (rc != 0) return rc;
    }
    return Finalize(task, 0);
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

  int32_t Answer(const Event& e, intptr_t* params) {
    switch (e.id) {
      case HALVEX_EVENT_LIST_DIRECTORY:
        List(e.task_id, e.path);
        return 0;
      case HALVEX_EVENT_GET_FILE_DATA:
        return SendData(e.task_id, e.path, e.offset, e.length);
      case HALVEX_EVENT_RENAME_FILE:
      case HALVEX_EVENT_RENAME_FOLDER:
        if (Refused(e.new_path)) {
          params[e.count - 1] = HALVEX_ERR_OPERATION_DENIED;
          return 0;
        }
        MoveRemote(e.path, e.new_path);
        return 0;
      case HALVEX_EVENT_CREATE_FILE:
      case HALVEX_EVENT_CREATE_FOLDER:
      case HALVEX_EVENT_UPDATE_FILE:
        if (Refused(e.path)) params[e.count - 1] = HALVEX_ERR_BACKEND;
        return 0;
      default:
        return 0;
    }
  }

  bool Refused(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(refuse.begin(), refuse.end(), path) != refuse.end();
  }

  std::mutex strings_mutex_;
  std::deque<std::string> strings_;  // a deque never moves what it holds
};

// A temporary sync root and platform state folder, an installed and active
// provider over it, and an application session on the root.
class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    space_ = std::make_unique<corvane::test_common::TempSpace>();
    base_ = space_->base();
    root_ = space_->root();
    client_ = std::make_unique<corvane::platform::local::Client>(root_);
  }
  void TearDown() override {
    provider_.reset();
    space_.reset();
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
  // Ends the provider's process; the host keeps its tree for the next one.
  void Stop() {
    if (!provider_) return;
    {
      std::lock_guard<std::mutex> lock(provider_->mutex());
      remote_ = provider_->remote;
    }
    provider_.reset();
  }
  // A new provider process on the same root, over the tree the last one left.
  // `answering` wraps the backend's answers (to hold or refuse one event).
  Provider& Restart(const std::vector<std::string>& settings = {}, std::vector<std::string> refuse = {},
                    const std::function<Provider::Handler(Provider::Handler)>& answering = nullptr) {
    Stop();
    provider_ = std::make_unique<Provider>();
    provider_->remote = remote_;
    provider_->refuse = std::move(refuse);
    if (answering) provider_->answer = answering(provider_->answer);
    for (const std::string& setting : settings) EXPECT_EQ(provider_->Config(setting), 0) << setting;
    EXPECT_EQ(provider_->SetRoot(root_), 0);
    EXPECT_EQ(provider_->Activate(), 0) << provider_->LastError();
    return *provider_;
  }
  // Every change made before this call has been processed by the watcher:
  // a fresh file made now is reported, and changes are handled in order.
  // Two markers: folders of one batch run side by side, so only a report
  // from a later batch shows that everything before the first is done.
  void Settle() {
    for (int step = 0; step < 2; ++step) {
      const std::string name = "settle-" + std::to_string(++settles_) + ".txt";
      ASSERT_EQ(client_->CreateFile(name, "s"), 0u);
      ASSERT_TRUE(provider_->WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\" + name)) << name;
    }
  }
  corvane::platform::local::ItemState StateOf(const std::string& path) {
    corvane::platform::local::ItemState state;
    EXPECT_EQ(client_->State(path, state), 0u) << path;
    return state;
  }
  bool Exists(const std::string& path) { return std::filesystem::exists(root_ + "/" + path); }

  std::unique_ptr<corvane::test_common::TempSpace> space_;
  std::string base_, root_;
  std::unique_ptr<corvane::platform::local::Client> client_;
  std::unique_ptr<Provider> provider_;
  std::map<std::string, RemoteItem> remote_;
  int settles_ = 0;
};

}  // namespace e2e
