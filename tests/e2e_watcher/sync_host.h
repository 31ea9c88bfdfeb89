// A small provider written against the exported C functions only: it owns
// one component over a temporary sync root, answers its events through a
// replaceable policy and keeps what it was told. Also used by the watcher
// benchmark.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/host.h"
#include "halvex/corvane.h"

namespace corvane::e2e {

using HostEvent = test_common::Event;
using test_common::Clock;
using test_common::Ptr;
using test_common::TempSpace;

// A memory-backed parent for a TempSpace when the machine has one: removing
// ten thousand placeholders from a loaded disk takes longer than the test itself.
inline std::string FastParent() {
  return std::filesystem::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

class SyncHost : public test_common::Host {
 public:
  // The answer reaches into this object: stop the events before it goes.
  ~SyncHost() override { Destroy(); }
  // The answer the host gives to a task event (its ResultCode).
  using Policy = std::function<int32_t(const HostEvent&)>;
  // Called on the event's thread for every task event, before the answer,
  // and for every log line (id HALVEX_EVENT_LOG, the text in `path`).
  using Observer = std::function<void(const HostEvent&)>;

  explicit SyncHost(const std::string& root) : Host(HALVEX_CREATE_WIDE_EVENTS) {
    record_before_answer = false;
    answer = [this](HostEvent& e, intptr_t* params, int32_t*) { return Answer(e, params); };
    SetRoot(root);
  }

  // Remote changes the host applies through methods (paths like "\\a.txt").
  int32_t CreateRemoteFile(const std::string& path, int64_t size) { return CreateFile(path, size, 0); }
  int32_t DeleteRemoteFile(const std::string& path) { return Call(HALVEX_METHOD_DELETE_FILE, {Ptr(path.c_str())}); }
  int32_t RenameRemoteFile(const std::string& path, const std::string& new_path) {
    return Call(HALVEX_METHOD_RENAME_FILE, {Ptr(path.c_str()), Ptr(new_path.c_str()), 0});
  }

  void SetPolicy(Policy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
  }
  void SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
  }

  // Waits until `done` holds (checked after each event) or `ms` pass.
  bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    return WaitUntil(done, std::chrono::milliseconds(ms));
  }
  bool WaitCount(int32_t id, const std::string& path, size_t n, int ms = 10000) {
    return Host::WaitFor(id, n, std::chrono::milliseconds(ms), path);
  }

 private:
  int32_t Answer(HostEvent& e, intptr_t* params) {
    if (e.id == HALVEX_EVENT_LOG) e.path = e.text;
    if (e.id != HALVEX_EVENT_LOG && e.id != HALVEX_EVENT_GET_FILE_DATA && !IsItemEvent(e.id)) return 0;  // errors, activation
    Policy policy;
    Observer observer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      policy = policy_;
      observer = observer_;
    }
    if (observer) observer(e);
    if (e.id == HALVEX_EVENT_LOG) return 0;
    const int32_t answer = policy ? policy(e) : 0;
    if (e.id == HALVEX_EVENT_RESET_FILE) return answer;
    params[e.count - 1] = answer;
    // The retry and asynchronous answers travel in the result slot; any
    // other code is a failing handler.
    return answer == HALVEX_ERR_RETRY || answer == HALVEX_ERR_PENDING ? 0 : answer;
  }

  Policy policy_;
  Observer observer_;
};

}  // namespace corvane::e2e
