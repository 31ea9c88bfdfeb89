// The test host: one component driven through the C exports only, as an
// application would drive it, with every event it raises recorded in one
// place. Test programs give it their own answers through `answer`. Builds on
// Windows too (the end-to-end suite runs against corvane.dll).
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "halvex/corvane.h"

namespace corvane::test_common {

using Clock = std::chrono::steady_clock;

constexpr int64_t kFileTime = 133000000000000000LL;  // 2022-06-18, any valid file time

// One event as the host saw it.
struct Event {
  int32_t id = 0;
  int32_t count = 0;       // argument slots
  int64_t task_id = 0;     // task events
  std::string path;        // task events; wide text narrowed (test paths are ASCII)
  std::string new_path;    // renames
  std::string text;        // Log and Error
  int32_t code = 0;        // ErrorCode of Error and Activated; the result slot as received otherwise
  int32_t flags = 0;       // UpdateFlags of updates
  int32_t attributes = 0;  // creates and updates
  int64_t size = 0;        // file creates and updates
  int64_t offset = 0, length = 0;  // GetFileData
  Clock::time_point at;
};

inline intptr_t Ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }

class Host {
 public:
  // Answers an event on the event's thread; the return is the sink's return
  // and the result slot is the handler's to write. Set before the component
  // starts working.
  using Handler = std::function<int32_t(Event& event, intptr_t* params, int32_t* sizes)>;
  Handler answer;
  // Every Log line, on the logging thread, before it is recorded.
  std::function<void(const std::string&)> on_log;
  // Events are recorded before the answer (waiters see a request the host
  // holds) or, with this false, after it (a recorded listing is complete).
  bool record_before_answer = true;

  explicit Host(int32_t create_flags = 0) : wide_((create_flags & HALVEX_CREATE_WIDE_EVENTS) != 0) {
    handle_ = Halvex_Corvane_Create(&Host::Sink, this, nullptr, create_flags);
    if (getenv("CORVANE_E2E_LOG") != nullptr) Config("LogLevel=4");
  }
  virtual ~Host() { Destroy(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  void Destroy() {
    if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
    handle_ = nullptr;
  }
  void* handle() const { return handle_; }

  // ---- Calls --------------------------------------------------------------
  // Any method with its slots laid out by the caller (all sizes 0 unless given).
  int32_t Do(int32_t method, std::vector<intptr_t>& params, std::vector<int32_t>* sizes = nullptr) {
    std::vector<int32_t> zero(params.size() + 1, 0);
    return Halvex_Corvane_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(),
                             sizes != nullptr ? sizes->data() : zero.data(), nullptr);
  }
  int32_t Call(int32_t method, std::vector<intptr_t> params = {}) { return Do(method, params); }
  int32_t Config(const std::string& setting) {
    std::vector<intptr_t> params = {Ptr(setting.c_str()), 0};
    return Do(HALVEX_METHOD_CONFIG, params);
  }
  // A setting's answer as text; `failed` when the call fails or answers nothing.
  std::string Query(const std::string& setting, const std::string& failed = "?") {
    std::vector<intptr_t> params = {Ptr(setting.c_str()), 0};
    if (Do(HALVEX_METHOD_CONFIG, params) != 0 || params[1] == 0) return failed;
    return reinterpret_cast<const char*>(params[1]);
  }
  // The answer as a number, -1 when the query failed.
  int64_t QueryNumber(const std::string& setting) {
    const std::string text = Query(setting, "-1");
    return atoll(text.c_str());
  }
  int32_t SetRoot(const std::string& root) {
    root_ = root;
    return Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, Ptr(root_.c_str()), 0);
  }
  int32_t Install() { return Call(HALVEX_METHOD_INSTALL); }
  int32_t Uninstall() { return Call(HALVEX_METHOD_UNINSTALL); }
  int32_t Activate(bool synchronous = true) { return Call(HALVEX_METHOD_ACTIVATE, {synchronous ? 1 : 0}); }
  int32_t Deactivate() { return Call(HALVEX_METHOD_DEACTIVATE); }
  // Install, then a synchronous activation.
  int32_t Start() {
    const int32_t rc = Install();
    return rc == 0 ? Activate(true) : rc;
  }
  std::string LastError() const {
    const char* text = Halvex_Corvane_GetLastError(handle_);
    return text != nullptr ? text : "";
  }
  int32_t LastCode() const { return Halvex_Corvane_GetLastErrorCode(handle_); }

  // Remote items told to the component (paths like "\a.txt").
  int32_t CreateFile(const std::string& path, int64_t size, int64_t time = kFileTime, int32_t attributes = 0) {
    return Call(HALVEX_METHOD_CREATE_FILE, {Ptr(path.c_str()), attributes, Ptr(&size), Ptr(&time), Ptr(&time), Ptr(&time)});
  }
  int32_t UpdateFile(const std::string& path, int64_t size, int64_t time = kFileTime) {
    return Call(HALVEX_METHOD_UPDATE_FILE, {Ptr(path.c_str()), 0, Ptr(&size), Ptr(&time), Ptr(&time), Ptr(&time)});
  }
  int32_t CreateFolder(const std::string& path, int64_t time = kFileTime) {
    return Call(HALVEX_METHOD_CREATE_FOLDER, {Ptr(path.c_str()), 0, Ptr(&time), Ptr(&time), Ptr(&time)});
  }
  // Items of a listing task.
  int32_t ListFile(int64_t task, const std::string& name, int64_t size, int64_t time = kFileTime) {
    return Call(HALVEX_METHOD_LIST_FILE, {Ptr(&task), Ptr(name.c_str()), 0, Ptr(&size), Ptr(&time), Ptr(&time), Ptr(&time)});
  }
  int32_t ListFolder(int64_t task, const std::string& name, int64_t time = kFileTime) {
    return Call(HALVEX_METHOD_LIST_FOLDER, {Ptr(&task), Ptr(name.c_str()), 0, Ptr(&time), Ptr(&time), Ptr(&time)});
  }
  // Data for a task: `count` bytes from `data + index`.
  int32_t Put(int64_t task, const char* data, size_t count, intptr_t index = 0) {
    std::vector<intptr_t> params = {Ptr(&task), Ptr(data), index, static_cast<intptr_t>(count)};
    std::vector<int32_t> sizes = {0, static_cast<int32_t>(count + index), 0, 0};
    return Do(HALVEX_METHOD_PUT_ITEM_DATA, params, &sizes);
  }
  // The host's late answer to a task it answered as pending.
  int32_t Finalize(int64_t task, int32_t code) { return Call(HALVEX_METHOD_FINALIZE_TASK, {Ptr(&task), code}); }

  // ---- Remote file bytes, by name below the root ("a.bin") ---------------
  // Bytes handed to each PutItemData call of Supply.
  size_t put_size = 300000;
  // Tells the component about a remote file: a dehydrated placeholder
  // appears; with `update`, a new version told through UpdateFile.
  int32_t AddRemoteFile(const std::string& name, std::string bytes, bool update = false) {
    const std::string path = "\\" + name;
    const int64_t size = static_cast<int64_t>(bytes.size());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remote_[path] = std::move(bytes);
    }
    return update ? UpdateFile(path, size) : CreateFile(path, size);
  }
  int32_t UpdateRemoteFile(const std::string& name, std::string bytes) { return AddRemoteFile(name, std::move(bytes), true); }
  const std::string& Remote(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_["\\" + name];
  }
  // Hands a remote file's bytes back (a benchmark reuses its buffer).
  std::string Take(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto node = remote_.extract("\\" + name);
    return node ? std::move(node.mapped()) : std::string();
  }
  // Sends [offset, offset + length) of the path's remote bytes in `put_size`
  // calls, `pause` apart, then finalizes; the first failing call's code is returned.
  int32_t Supply(int64_t task_id, const std::string& path, int64_t offset, int64_t length, bool finalize = true,
                 std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    // Map nodes stay put and a file's bytes change only between transfers, so
    // the view stays valid without the lock (and without a copy of a large file).
    std::string_view bytes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::string& all = remote_[path];
      if (offset < static_cast<int64_t>(all.size())) bytes = std::string_view(all).substr(offset, length);
    }
    for (size_t done = 0; done < bytes.size(); done += put_size) {
      if (done > 0 && pause.count() > 0) std::this_thread::sleep_for(pause);
      const size_t count = std::min(put_size, bytes.size() - done);
      // Index 1 into a buffer that starts one byte early checks that the
      // library honours Index.
      const intptr_t index = done > 0 ? 1 : 0;
      const int32_t rc = Put(task_id, bytes.data() + done - index, count, index);
      if (rc != 0) return rc;
    }
    return finalize ? Finalize(task_id, 0) : 0;
  }

  // ---- The record ---------------------------------------------------------
  // Every event but Log, in order.
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // The events of `id` (of `path` when given).
  std::vector<Event> Events(int32_t id, const std::string& path = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const Event& e : events_)
      if (e.id == id && (path.empty() || e.path == path)) out.push_back(e);
    return out;
  }
  // The item events (creates, updates, renames, deletes, listings, resets).
  static bool IsItemEvent(int32_t id) {
    switch (id) {
      case HALVEX_EVENT_CREATE_FILE:
      case HALVEX_EVENT_CREATE_FOLDER:
      case HALVEX_EVENT_UPDATE_FILE:
      case HALVEX_EVENT_UPDATE_FOLDER:
      case HALVEX_EVENT_RENAME_FILE:
      case HALVEX_EVENT_RENAME_FOLDER:
      case HALVEX_EVENT_DELETE_FILE:
      case HALVEX_EVENT_DELETE_FOLDER:
      case HALVEX_EVENT_LIST_DIRECTORY:
      case HALVEX_EVENT_RESET_FILE:
        return true;
      default:
        return false;
    }
  }
  std::vector<Event> ItemEvents() {
    std::vector<Event> found = Events();
    found.erase(std::remove_if(found.begin(), found.end(), [](const Event& e) { return !IsItemEvent(e.id); }),
                found.end());
    return found;
  }
  // Error events, as "code text".
  std::vector<std::string> Errors() {
    std::vector<std::string> errors;
    for (const Event& e : Events(HALVEX_EVENT_ERROR)) errors.push_back(std::to_string(e.code) + " " + e.text);
    return errors;
  }
  size_t Count(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(id);  // kept as events arrive: bursts stay cheap to wait on
    return it == counts_.end() ? 0 : it->second;
  }
  size_t Count(int32_t id, const std::string& path) { return path.empty() ? Count(id) : Events(id, path).size(); }
  std::vector<std::string> Logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
  }
  bool Logged(const std::string& fragment) {
    for (const std::string& line : Logs())
      if (line.find(fragment) != std::string::npos) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    counts_.clear();
  }
  // Drops the events of `path` (a marker file's, say).
  void Forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(events_, [&](const Event& e) { return e.path == path; });
    counts_.clear();
    for (const Event& e : events_) ++counts_[e.id];
  }
  void ClearLogs() {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
  }
  // Waits until `done` holds (checked after each event, and at least every
  // 100 ms for state outside the record) or `limit` passes.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = Clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      lock.unlock();
      if (done()) return true;
      if (Clock::now() >= until) return false;
      lock.lock();
      cv_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
    }
  }
  // Waits for `n` events of `id` (of `path` when given).
  bool WaitFor(int32_t id, size_t n = 1, std::chrono::milliseconds limit = std::chrono::seconds(10),
               const std::string& path = "") {
    return WaitUntil([&] { return Count(id, path) >= n; }, limit);
  }
  bool WaitForEvent(int32_t id, const std::string& path, int ms = 10000) {
    return WaitFor(id, 1, std::chrono::milliseconds(ms), path);
  }

 protected:
  std::string Text(intptr_t slot) const {
    if (slot == 0) return "";
    if (!wide_) return reinterpret_cast<const char*>(slot);
    std::string out;
    for (auto* c = reinterpret_cast<const char16_t*>(slot); *c != 0; ++c)
      out.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    return out;
  }
  static int64_t Int64(intptr_t slot) { return slot != 0 ? *reinterpret_cast<const int64_t*>(slot) : 0; }

  std::mutex mutex_;  // the record; derived hosts may guard their own data with it
  std::condition_variable cv_;

 private:
  Event Decode(int32_t id, int32_t count, intptr_t* p) const {
    Event e;
    e.id = id;
    e.count = count;
    e.at = Clock::now();
    switch (id) {
      case HALVEX_EVENT_ERROR:
        e.code = static_cast<int32_t>(p[0]);
        if (count > 1) e.text = Text(p[1]);
        return e;
      case HALVEX_EVENT_ACTIVATED:
        e.code = static_cast<int32_t>(p[0]);
        return e;
      case HALVEX_EVENT_LOG:
        if (count > 1) e.text = Text(p[1]);
        return e;
      case HALVEX_EVENT_CREATE_FILE:
        e.size = Int64(p[3]);
        [[fallthrough]];
      case HALVEX_EVENT_CREATE_FOLDER:
        e.attributes = static_cast<int32_t>(p[2]);
        break;
      case HALVEX_EVENT_UPDATE_FILE:
        e.size = Int64(p[4]);
        [[fallthrough]];
      case HALVEX_EVENT_UPDATE_FOLDER:
        e.flags = static_cast<int32_t>(p[2]);
        e.attributes = static_cast<int32_t>(p[3]);
        break;
      case HALVEX_EVENT_RENAME_FILE:
      case HALVEX_EVENT_RENAME_FOLDER:
        e.new_path = Text(p[2]);
        break;
      case HALVEX_EVENT_GET_FILE_DATA:
        e.offset = Int64(p[2]);
        e.length = Int64(p[3]);
        break;
      case HALVEX_EVENT_CANCEL_TASK:
      case HALVEX_EVENT_DELETE_FILE:
      case HALVEX_EVENT_DELETE_FOLDER:
      case HALVEX_EVENT_LIST_DIRECTORY:
      case HALVEX_EVENT_RESET_FILE:
        break;
      default:
        return e;
    }
    if (count >= 2) {
      e.task_id = Int64(p[0]);
      e.path = Text(p[1]);
      if (id != HALVEX_EVENT_RESET_FILE) e.code = static_cast<int32_t>(p[count - 1]);
    }
    return e;
  }

  void Record(const Event& e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
      ++counts_[e.id];
    }
    cv_.notify_all();
  }

  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* sizes) {
    auto* self = static_cast<Host*>(context);
    Event e = self->Decode(id, count, params);
    if (id == HALVEX_EVENT_LOG) {
      // CORVANE_E2E_LOG=1 shows the library's log lines (LogLevel decides which).
      if (getenv("CORVANE_E2E_LOG") != nullptr) fprintf(stderr, "log: %s\n", e.text.c_str());
      if (self->on_log) self->on_log(e.text);
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->logs_.push_back(e.text);
      }
      return self->answer ? self->answer(e, params, sizes) : 0;
    }
    if (self->record_before_answer) self->Record(e);
    const int32_t rc = self->answer ? self->answer(e, params, sizes) : 0;
    if (!self->record_before_answer) self->Record(e);
    return rc;
  }

  bool wide_ = false;
  void* handle_ = nullptr;
  std::string root_;
  std::vector<Event> events_;
  std::map<int32_t, size_t> counts_;
  std::vector<std::string> logs_;
  std::map<std::string, std::string> remote_;
};

// A temporary folder for one test or run: the sync root, a folder beside it
// on the same file system and, on Linux, the platform's state folder.
class TempSpace {
 public:
#ifdef _WIN32
  TempSpace() {
    base_ = (std::filesystem::temp_directory_path() / ("corvane-e2e-" + std::to_string(std::random_device()())))
                .string();
    std::filesystem::create_directories(root());
  }
  std::string root() const { return base_ + "\\root"; }
  std::string outside() const { return base_ + "\\outside"; }
#else
  // `parent` must keep user extended attributes (the platform's placeholder state).
  explicit TempSpace(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/corvane-test-XXXXXX";
    base_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(root());
    std::filesystem::create_directories(outside());
    std::filesystem::create_directories(state());
    setenv("CORVANE_STATE_DIR", state().c_str(), 1);
  }
  std::string root() const { return base_ + "/root"; }
  std::string outside() const { return base_ + "/outside"; }
  std::string state() const { return base_ + "/state"; }
#endif
  ~TempSpace() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  TempSpace(const TempSpace&) = delete;
  TempSpace& operator=(const TempSpace&) = delete;
  const std::string& base() const { return base_; }

 private:
  std::string base_;
};

}  // namespace corvane::test_common
