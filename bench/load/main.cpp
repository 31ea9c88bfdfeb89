// Load run of a whole host against the local platform: many applications
// reading different dehydrated files at once, very large folder listings,
// and a burst of local changes from several threads. Each phase has a time
// limit and checks that nothing was lost or duplicated; the exit code is 0
// only when every phase passed.
// Usage: bench_load [--readers=64] [--mib=4] [--items=100000] [--folders=3]
//                   [--changes=10000] [--threads=8] [--limit=300]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "load_host.h"
#include "local_changes.h"
#include "platform/local/client.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::platform::local::Client;
using corvane::platform::local::ClientEntry;

struct Options {
  int readers = 64;
  int mib = 4;
  int items = 100000;
  int folders = 3;
  int changes = 10000;
  int threads = 8;
  int limit_seconds = 300;  // per phase
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    int* target = nullptr;
    const char* arg = argv[i];
    const std::pair<const char*, int*> known[] = {
        {"--readers=", &o.readers}, {"--mib=", &o.mib},         {"--items=", &o.items},
        {"--folders=", &o.folders}, {"--changes=", &o.changes}, {"--threads=", &o.threads},
        {"--limit=", &o.limit_seconds}};
    for (auto [name, field] : known) {
      if (std::strncmp(arg, name, std::strlen(name)) == 0) {
        target = field;
        *target = std::atoi(arg + std::strlen(name));
      }
    }
    if (target == nullptr || *target <= 0) {
      std::fprintf(stderr, "unknown or non-positive argument: %s\n", arg);
      return false;
    }
  }
  return true;
}

// The run's temporary folder, removed on every way out.
std::string g_base;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string ReadName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "file-%02d.bin", i);
  return name;
}
std::string ItemName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "item-%06d.dat", i);
  return name;
}

// Offset of the first byte that is not what the host sent, or data.size().
uint64_t FirstDifference(uint32_t seed, const std::string& data) {
  char expected[65536];
  for (uint64_t at = 0; at < data.size(); at += sizeof expected) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(sizeof expected, data.size() - at));
    load::FillContent(seed, at, expected, count);
    if (std::memcmp(expected, data.data() + at, count) == 0) continue;
    for (size_t i = 0; i < count; ++i)
      if (expected[i] != data[at + i]) return at + i;
  }
  return data.size();
}

// Runs `work` on its own thread and waits at most `limit`. On time-out the
// phase has failed: `describe` says what is missing, and the process ends
// at once (the blocked threads cannot be joined).
void RunBounded(const char* phase, int limit_seconds, const std::function<void()>& work,
                const std::function<std::string()>& describe) {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  std::thread runner([&] {
    work();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    done_cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  if (!done_cv.wait_for(lock, std::chrono::seconds(limit_seconds), [&] { return done; })) {
    std::printf("%s: FAILED, not done within %d s: %s\n", phase, limit_seconds, describe().c_str());
    std::fflush(stdout);
    // The library still runs and may put its state folder back while the
    // tree goes; a few passes leave nothing behind.
    for (int pass = 0; pass < 5 && std::filesystem::exists(g_base); ++pass) {
      std::error_code ignored;
      std::filesystem::remove_all(g_base, ignored);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::_Exit(1);
  }
  lock.unlock();
  runner.join();
}

struct Row {
  Row(std::string phase_name, std::string work_done) : phase(std::move(phase_name)), work(std::move(work_done)) {}
  std::string phase;
  std::string work;
  double seconds = 0;
  std::string rate;
  std::string result;
  bool ok = false;
};

void PrintHeader() {
  std::printf("%-14s %-26s %9s %16s  %s\n", "phase", "work", "seconds", "throughput", "result");
}

void PrintRow(const Row& r) {
  std::printf("%-14s %-26s %9.2f %16s  %s%s\n", r.phase.c_str(), r.work.c_str(), r.seconds, r.rate.c_str(),
              r.ok ? "" : "FAILED: ", r.result.c_str());
  std::fflush(stdout);
}

Row ReadPhase(const Options& o, const std::string& root, load::LoadHost& host) {
  Row row{"reads", std::to_string(o.readers) + " x " + std::to_string(o.mib) + " MiB"};
  Client app(root);
  std::vector<ClientEntry> entries;
  if (app.List("reads", entries) != 0 || entries.size() != static_cast<size_t>(o.readers)) {
    row.result = "listing of the read folder gave " + std::to_string(entries.size()) + " items";
    return row;
  }
  const uint64_t size = static_cast<uint64_t>(o.mib) << 20;
  std::vector<std::atomic<int>> state(static_cast<size_t>(o.readers));  // 0 running, 1 equal, 2 wrong
  std::vector<std::string> failures(static_cast<size_t>(o.readers));
  const int64_t served_before = host.bytes_served();
  const auto start = Clock::now();
  RunBounded(
      "reads", o.limit_seconds,
      [&] {
        std::vector<std::thread> readers;
        for (int i = 0; i < o.readers; ++i) {
          readers.emplace_back([&, i] {
            Client reader(root);
            std::string data;
            const uint32_t rc = reader.ReadAll("reads/" + ReadName(i), data);
            if (rc != 0) {
              failures[i] = ReadName(i) + ": " + Client::ErrorText(rc);
            } else if (data.size() != size) {
              failures[i] = ReadName(i) + ": " + std::to_string(data.size()) + " bytes read";
            } else if (uint64_t at = FirstDifference(static_cast<uint32_t>(i + 1), data); at != size) {
              failures[i] = ReadName(i) + ": content differs from offset " + std::to_string(at);
            }
            state[i] = failures[i].empty() ? 1 : 2;
          });
        }
        for (std::thread& t : readers) t.join();
      },
      [&] {
        std::string missing;
        for (int i = 0; i < o.readers; ++i)
          if (state[i] == 0) missing.append(" ").append(ReadName(i));
        return "still reading:" + missing;
      });
  row.seconds = Seconds(start);
  const double mb = static_cast<double>(size) * o.readers / 1e6;
  char rate[64];
  std::snprintf(rate, sizeof rate, "%.1f MB/s", mb / row.seconds);
  row.rate = rate;
  int wrong = 0;
  for (const std::string& f : failures) {
    if (f.empty()) continue;
    if (++wrong <= 3) std::printf("  read failure: %s\n", f.c_str());
  }
  const int64_t served = host.bytes_served() - served_before;
  row.ok = wrong == 0;
  row.result = row.ok ? "all equal" : std::to_string(wrong) + " files wrong";
  row.result += ", host sent " + std::to_string(served >> 20) + " MiB";
  return row;
}

Row ListPhase(const Options& o, const std::string& root) {
  Row row{"listing", std::to_string(o.folders) + " x " + std::to_string(o.items) + " items"};
  std::vector<std::atomic<int>> state(static_cast<size_t>(o.folders));
  std::vector<std::string> failures(static_cast<size_t>(o.folders));
  const auto start = Clock::now();
  RunBounded(
      "listing", o.limit_seconds,
      [&] {
        std::vector<std::thread> listers;
        for (int f = 0; f < o.folders; ++f) {
          listers.emplace_back([&, f] {
            Client app(root);
            std::vector<ClientEntry> entries;
            const uint32_t rc = app.List("list" + std::to_string(f), entries);
            // Each expected name once, nothing else.
            std::vector<int> seen(static_cast<size_t>(o.items), 0);
            int strangers = 0, twice = 0;
            for (const ClientEntry& e : entries) {
              int index = -1;
              if (e.name.size() == 15 && e.name.rfind("item-", 0) == 0) index = std::atoi(e.name.c_str() + 5);
              if (index < 0 || index >= o.items || ItemName(index) != e.name) {
                ++strangers;
              } else if (++seen[index] == 2) {
                ++twice;
              }
            }
            int missing = 0;
            for (int s : seen) missing += s == 0;
            if (rc != 0) failures[f] = "list" + std::to_string(f) + ": " + Client::ErrorText(rc);
            if (missing + twice + strangers > 0) {
              failures[f] += "list" + std::to_string(f) + ": " + std::to_string(missing) + " missing, " +
                             std::to_string(twice) + " twice, " + std::to_string(strangers) + " unknown";
            }
            state[f] = failures[f].empty() ? 1 : 2;
          });
        }
        for (std::thread& t : listers) t.join();
      },
      [&] {
        std::string missing;
        for (int f = 0; f < o.folders; ++f)
          if (state[f] == 0) missing.append(" list").append(std::to_string(f));
        return "still listing:" + missing;
      });
  row.seconds = Seconds(start);
  char rate[64];
  std::snprintf(rate, sizeof rate, "%.0f items/s", static_cast<double>(o.items) * o.folders / row.seconds);
  row.rate = rate;
  int wrong = 0;
  for (const std::string& f : failures) {
    if (f.empty()) continue;
    ++wrong;
    std::printf("  listing failure: %s\n", f.c_str());
  }
  row.ok = wrong == 0;
  row.result = row.ok ? "every item once" : std::to_string(wrong) + " folders wrong";
  return row;
}

Row ChangePhase(const Options& o, const std::string& root, load::LoadHost& host) {
  Row row{"local changes", std::to_string(o.changes) + " from " + std::to_string(o.threads) + " threads"};
  load::ChangePlan plan(o.changes, o.threads);
  Client app(root);
  std::string problem = plan.Prepare(app, host, o.limit_seconds);
  if (!problem.empty()) {
    row.result = "setup: " + problem;
    return row;
  }
  host.ClearChanges();
  const auto start = Clock::now();
  double write_seconds = 0;
  load::ChangeCheck check;
  RunBounded(
      "local changes", o.limit_seconds,
      [&] {
        problem = plan.Apply(root);
        write_seconds = Seconds(start);
        if (problem.empty()) check = plan.WaitForReports(app, host, o.limit_seconds);
      },
      [&] {
        std::string text = plan.Check(host.Changes()).Describe();
        for (const std::string& w : host.FirstWarnings()) text += "\n    log: " + w;
        if (host.overflows() > 0) text += "\n    notification queue overflows: " + std::to_string(host.overflows());
        return text;
      });
  if (!problem.empty()) {
    row.result = "changes: " + problem;
    return row;
  }
  row.seconds = check.all_reported_seconds > 0 ? check.all_reported_seconds : Seconds(start);
  char rate[96];
  std::snprintf(rate, sizeof rate, "%.0f events/s", static_cast<double>(check.reported) / row.seconds);
  row.rate = rate;
  row.ok = check.Passed();
  row.result = check.Describe();
  std::printf("  changes made in %.2f s; %zu events counted\n", write_seconds, host.ChangeEvents());
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  // TMPDIR picks the file system (it must keep user extended attributes);
  // otherwise memory when the machine has it, so that hundreds of thousands
  // of placeholders do not measure a loaded disk.
  std::string parent = "/tmp";
  if (getenv("TMPDIR") != nullptr) {
    parent = std::filesystem::temp_directory_path().string();
  } else if (access("/dev/shm", W_OK) == 0) {
    parent = "/dev/shm";
  }
  std::string base_template = parent + "/corvane-load-XXXXXX";
  if (mkdtemp(base_template.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string base = base_template;
  g_base = base;
  struct RemoveOnExit {
    ~RemoveOnExit() {
      std::error_code ignored;
      std::filesystem::remove_all(g_base, ignored);
    }
  } remove_on_exit;
  const std::string root = base + "/root";
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(base + "/state");
  setenv("CORVANE_STATE_DIR", (base + "/state").c_str(), 1);

  std::vector<Row> rows;
  {
    load::LoadHost host(root);
    host.AddRemote("\\", {"reads", true});
    for (int i = 0; i < o.readers; ++i) {
      host.AddRemote("\\reads", {ReadName(i), false, static_cast<int64_t>(o.mib) << 20, static_cast<uint32_t>(i + 1)});
    }
    for (int f = 0; f < o.folders; ++f) {
      const std::string folder = "list" + std::to_string(f);
      host.AddRemote("\\", {folder, true});
      for (int i = 0; i < o.items; ++i) host.AddRemote("\\" + folder, {ItemName(i), false, 1000 + i % 5000, 0});
    }
    host.Config("WindowsCreatePlaceholdersOnDemand=true");
    host.Config("WaitForInstallToComplete=0");
    // CORVANE_LOAD_LOG_LEVEL=4 also counts lost notification queues, at the
    // cost of formatting every verbose line.
    const char* level = getenv("CORVANE_LOAD_LOG_LEVEL");
    host.Config(std::string("LogLevel=") + (level != nullptr ? level : "2"));
    if (host.Start() != 0) {
      std::printf("the provider did not start: %s\n", host.LastError().c_str());
      return 1;
    }
    Client app(root);
    std::vector<ClientEntry> top;
    if (app.List("", top) != 0) {
      std::printf("the root could not be listed\n");
      return 1;
    }
    // Each row as its phase ends: a phase that runs out of time ends the run.
    PrintHeader();
    rows.push_back(ReadPhase(o, root, host));
    PrintRow(rows.back());
    rows.push_back(ListPhase(o, root));
    PrintRow(rows.back());
    rows.push_back(ChangePhase(o, root, host));
    PrintRow(rows.back());
    if (host.warnings() > 0) {
      std::printf("failure and warning log lines: %d\n", host.warnings());
      for (const std::string& w : host.FirstWarnings()) std::printf("  %s\n", w.c_str());
    }
    if (host.overflows() > 0) std::printf("notification queue overflows: %d\n", host.overflows());
    if (host.errors() > 0) {
      std::printf("Error events: %d\n", host.errors());
      for (const std::string& e : host.FirstErrors()) std::printf("  %s\n", e.c_str());
    }
    if (host.host_failures() > 0) std::printf("requests the host could not answer: %d\n", host.host_failures());
    host.Stop();
  }

  bool all_ok = true;
  for (const Row& r : rows) all_ok = all_ok && r.ok;
  return all_ok ? 0 : 1;
}
