// A provider host for fault tests, written against the C exports only. Its
// GetFileData and ListDirectory answers are functions a test swaps in, so a
// test can make the host fail, throw, stall, retry or call back in.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
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

using SeenEvent = test_common::Event;
using test_common::Ptr;
using test_common::RemoteBytes;
using test_common::TempSpace;
using test_common::ThreadCount;
using test_common::ThreadsBackTo;

class FaultHost : public test_common::Host {
 public:
  // The answer reaches into this object: stop the events before it goes.
  ~FaultHost() override { Destroy(); }
  // The sink's return value; the answer slot is set through `answer`.
  using FetchHandler = std::function<int32_t(FaultHost&, const Request&, int32_t& answer)>;
  using ListHandler = std::function<int32_t(FaultHost&, int64_t task, const std::string& folder)>;

  FetchHandler on_fetch;
  ListHandler on_list;
  // Every event but GetFileData and ListDirectory throws, Log included.
  std::atomic<bool> throw_from_other_events{false};
  std::atomic<int> thrown_events{0};

  explicit FaultHost(const std::string& root) : root_(root) {
    put_size = 409600;
    Config("WaitForInstallToComplete=0");
    Config(getenv("FAULTS_LOG") ? "LogLevel=4" : "LogLevel=1");
    on_fetch = [](FaultHost& host, const Request& r, int32_t&) {
      return host.Supply(r.task_id, r.path, r.offset, r.length);
    };
    on_list = [](FaultHost&, int64_t, const std::string&) { return 0; };
    answer = [this](SeenEvent& e, intptr_t* p, int32_t*) { return Answer(e, p); };
  }

  int32_t SetRoot() { return Host::SetRoot(root_); }
  int32_t Start() {
    int32_t rc = SetRoot();
    if (rc == 0) rc = Install();
    if (rc == 0) rc = Activate(true);
    return rc;
  }

  // A folder without times.
  int32_t CreateFolder(const std::string& path) { return Call(HALVEX_METHOD_CREATE_FOLDER, {Ptr(path.c_str()), 0, 0, 0, 0}); }

 private:
  int32_t Answer(const SeenEvent& e, intptr_t* p) {
    if (throw_from_other_events && e.id != HALVEX_EVENT_GET_FILE_DATA && e.id != HALVEX_EVENT_LIST_DIRECTORY) {
      if (e.id != HALVEX_EVENT_LOG) thrown_events++;
      throw std::runtime_error("host handler failed");
    }
    if (e.id == HALVEX_EVENT_LOG && getenv("FAULTS_LOG")) fprintf(stderr, "LOG %s\n", e.text.c_str());
    if (e.id == HALVEX_EVENT_GET_FILE_DATA) {
      int32_t answer = 0;
      const int32_t rc = on_fetch(*this, {e.task_id, e.path, e.offset, e.length}, answer);
      p[4] = answer;
      return rc;
    }
    if (e.id == HALVEX_EVENT_LIST_DIRECTORY) p[3] = on_list(*this, e.task_id, e.path);
    return 0;
  }

  std::string root_;
};

}  // namespace corvane::faults
