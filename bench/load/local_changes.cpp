#include "local_changes.h"

#include <mutex>
#include <set>
#include <thread>

#include "halvex/corvane.h"

namespace load {
namespace {

using corvane::platform::local::Client;
using Clock = std::chrono::steady_clock;

constexpr char kOriginal[] = "original";
constexpr char kCreated[] = "created by the load run";
constexpr char kWritten[] = "written by the load run, longer";
// UpdateFolder flags that say only that a folder's times moved: its content
// changed, which the events of that content already report.
constexpr int32_t kFolderTimeFlags = 0x0E;

bool IsMarker(const std::string& path) { return path.rfind("\\marker-", 0) == 0; }

}  // namespace

std::string ChangeCheck::Describe() const {
  std::string text = std::to_string(reported) + "/" + std::to_string(expected) + " reported";
  if (missing) text += ", " + std::to_string(missing) + " missing";
  if (duplicated) text += ", " + std::to_string(duplicated) + " twice or more";
  if (wrong) text += ", " + std::to_string(wrong) + " wrong";
  if (unexpected) text += ", " + std::to_string(unexpected) + " unexpected";
  if (follow_ups) text += ", " + std::to_string(follow_ups) + " updates after create";
  for (const std::string& e : examples) text += "\n    " + e;
  return text;
}

ChangePlan::ChangePlan(int changes, int threads) : threads_(threads) {
  // Of every five changes: two creates, a write, a rename and a delete.
  for (int k = 0; k < changes; ++k) {
    const int thread = (k / 5) % threads;
    const std::string folder = "local" + std::to_string(thread) + "/";
    const std::string id = std::to_string(k);
    switch (k % 5) {
      case 0:
      case 1:
        changes_.push_back({Kind::kCreate, thread, folder + "c" + id + ".txt", ""});
        break;
      case 2:
        changes_.push_back({Kind::kWrite, thread, folder + "w" + id + ".txt", ""});
        break;
      case 3:
        changes_.push_back({Kind::kRename, thread, folder + "r" + id + ".txt", folder + "r" + id + "-moved.txt"});
        break;
      default:
        changes_.push_back({Kind::kDelete, thread, folder + "d" + id + ".txt", ""});
        break;
    }
  }
}

std::string ChangePlan::EventPath(const std::string& client_path) {
  std::string path = "\\" + client_path;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// Folders of one batch are reported side by side, so a marker's report only
// shows that its batch runs; a second marker lands in a later batch, which
// starts when everything before the first is done.
bool ChangePlan::WaitForMarker(Client& app, LoadHost& host, int limit_seconds) {
  const auto until = Clock::now() + std::chrono::seconds(limit_seconds);
  for (int step = 0; step < 2; ++step) {
    const std::string name = "marker-" + std::to_string(++markers_) + ".txt";
    if (app.CreateFile(name, "") != 0) return false;
    const ChangeKey key{HALVEX_EVENT_CREATE_FILE, "\\" + name};
    while (!host.Changes().count(key)) {
      if (Clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return true;
}

std::string ChangePlan::Prepare(Client& app, LoadHost& host, int limit_seconds) {
  for (int t = 0; t < threads_; ++t) {
    if (app.CreateFolder("local" + std::to_string(t)) != 0) return "folder local" + std::to_string(t);
  }
  for (const Change& c : changes_) {
    if (c.kind != Kind::kCreate && app.CreateFile(c.path, kOriginal) != 0) return "file " + c.path;
  }
  if (!WaitForMarker(app, host, limit_seconds)) return "the prepared files were not all reported in time";
  return "";
}

std::string ChangePlan::Apply(const std::string& root) {
  started_ = Clock::now();
  std::mutex mutex;
  std::string first_failure;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads_; ++t) {
    workers.emplace_back([&, t] {
      Client app(root);
      for (const Change& c : changes_) {
        if (c.thread != t) continue;
        uint32_t rc = 0;
        switch (c.kind) {
          case Kind::kCreate:
            rc = app.CreateFile(c.path, kCreated);
            break;
          case Kind::kWrite:
            rc = app.Write(c.path, 0, kWritten);
            break;
          case Kind::kRename:
            rc = app.Rename(c.path, c.new_path, false);
            break;
          case Kind::kDelete:
            rc = app.Delete(c.path, false);
            break;
        }
        if (rc != 0) {
          std::lock_guard<std::mutex> lock(mutex);
          if (first_failure.empty()) first_failure = c.path + ": " + Client::ErrorText(rc);
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  return first_failure;
}

ChangeCheck ChangePlan::WaitForReports(Client& app, LoadHost& host, int limit_seconds) {
  const auto until = started_ + std::chrono::seconds(limit_seconds);
  ChangeCheck check = Check(host.Changes());
  while (check.missing > 0 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    check = Check(host.Changes());
  }
  const double all_reported = std::chrono::duration<double>(Clock::now() - started_).count();
  // Batches are processed in order: once the markers made now are reported,
  // so is anything the changes could still cause. A second more for
  // stragglers of other threads.
  WaitForMarker(app, host, limit_seconds);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  check = Check(host.Changes());
  check.all_reported_seconds = all_reported;
  return check;
}

ChangeCheck ChangePlan::Check(const std::map<ChangeKey, ChangeRecord>& changes) const {
  ChangeCheck check;
  std::set<ChangeKey> expected;
  std::set<std::string> created;
  size_t noted_missing = 0;
  auto note = [&](const std::string& text) {
    // A few of each kind, so that one long list does not hide the others.
    const bool is_missing = text.rfind("missing", 0) == 0;
    if (is_missing && ++noted_missing > 4) return;
    if (check.examples.size() < 12) check.examples.push_back(text);
  };
  for (const Change& c : changes_) {
    const std::string path = EventPath(c.path);
    int32_t id = HALVEX_EVENT_CREATE_FILE;
    if (c.kind == Kind::kWrite) id = HALVEX_EVENT_UPDATE_FILE;
    if (c.kind == Kind::kRename) id = HALVEX_EVENT_RENAME_FILE;
    if (c.kind == Kind::kDelete) id = HALVEX_EVENT_DELETE_FILE;
    if (c.kind == Kind::kCreate) created.insert(path);
    const ChangeKey key{id, path};
    expected.insert(key);
    ++check.expected;
    const auto it = changes.find(key);
    if (it == changes.end()) {
      ++check.missing;
      note("missing: event " + std::to_string(id) + " " + path);
      continue;
    }
    ++check.reported;
    const ChangeRecord& r = it->second;
    if (r.count > 1) {
      ++check.duplicated;
      note("reported " + std::to_string(r.count) + " times: event " + std::to_string(id) + " " + path);
    } else if (c.kind == Kind::kRename && r.new_path != EventPath(c.new_path)) {
      ++check.wrong;
      note("renamed to " + r.new_path + ": " + path);
    } else if (c.kind == Kind::kCreate && r.size != static_cast<int64_t>(sizeof kCreated - 1) &&
               !changes.count(ChangeKey{HALVEX_EVENT_UPDATE_FILE, path})) {
      ++check.wrong;
      note("created with size " + std::to_string(r.size) + " and never updated: " + path);
    } else if (c.kind == Kind::kWrite && r.size != static_cast<int64_t>(sizeof kWritten - 1)) {
      ++check.wrong;
      note("update with size " + std::to_string(r.size) + ": " + path);
    }
  }
  for (const auto& [key, record] : changes) {
    if (expected.count(key) || IsMarker(key.path)) continue;
    if (key.event_id == HALVEX_EVENT_UPDATE_FOLDER && (record.update_flags & ~kFolderTimeFlags) == 0) continue;
    if (key.event_id == HALVEX_EVENT_UPDATE_FILE && created.count(key.path)) {
      // The watcher may see a new file before its content is written; the
      // update then carries the content, and the last one must be complete.
      ++check.follow_ups;
      if (record.size != static_cast<int64_t>(sizeof kCreated - 1)) {
        ++check.wrong;
        note("last update with size " + std::to_string(record.size) + ": " + key.path);
      }
      continue;
    }
    check.unexpected += static_cast<size_t>(record.count);
    note("unexpected: event " + std::to_string(key.event_id) + " " + key.path + " x" + std::to_string(record.count));
  }
  return check;
}

}  // namespace load
