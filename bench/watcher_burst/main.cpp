// Local-change throughput and latency: a burst of 10,000 new files in 20
// folders, measured from each file's close to the host's CreateFile event,
// against the platform's own change notifications of the same burst,
// read side by side in the same run; each round a fresh root and provider.
// Usage: bench_watcher_burst [rounds (default 6, or BENCH_ROUNDS)]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench_common.h"
#include "e2e_watcher/burst.h"
#include "e2e_watcher/sync_host.h"
#include "platform/directory_changes.h"
#include "platform/local/native_path.h"

using corvane::e2e::Burst;
using corvane::e2e::Clock;
using corvane::e2e::HostEvent;
using TimeMap = std::unordered_map<std::string, Clock::time_point>;
namespace platform = corvane::platform;

namespace {

// First arrival of each path, from one thread or several.
class Arrivals {
 public:
  void Note(const std::string& path, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex_);
    times_.emplace(path, at);
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_.size();
  }
  TimeMap Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  TimeMap times_;
};

// The platform's notifications with nothing behind them: one request
// outstanding, records parsed and stamped as they complete.
class RawWatch {
 public:
  bool Start(const std::string& root) {
    if (watch_.Open(platform::local::FromNativePath(root)) != 0) return false;
    buffer_.resize(1 << 20);
    if (watch_.Request(buffer_.data(), static_cast<platform::DWORD>(buffer_.size()), true, 0x7F) != 0) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    watch_.Close();
  }
  Arrivals files, folders;
  std::atomic<int> overflows{0};

 private:
  void Run() {
    std::vector<char> copy;
    while (!stop_) {
      if (watch_.Wait(50) != platform::kWaitSignalled) continue;
      platform::DWORD bytes = 0;
      const platform::DWORD rc = watch_.GetResult(bytes);
      if (rc == platform::ERROR_IO_INCOMPLETE) continue;
      if (rc == platform::ERROR_NOTIFY_ENUM_DIR) ++overflows;
      if (rc == 0) copy.assign(buffer_.data(), buffer_.data() + bytes);
      if (watch_.Request(buffer_.data(), static_cast<platform::DWORD>(buffer_.size()), true, 0x7F) != 0) return;
      if (rc == 0 && bytes > 0) Parse(copy, Clock::now());
    }
  }
  void Parse(const std::vector<char>& data, Clock::time_point at) {
    size_t offset = 0;
    while (true) {
      const auto* r = reinterpret_cast<const platform::FILE_NOTIFY_EXTENDED_INFORMATION*>(data.data() + offset);
      if (r->Action == platform::FILE_ACTION_ADDED) {
        std::string path = "\\";
        for (size_t i = 0; i < r->FileNameLength / 2; ++i) path.push_back(static_cast<char>(r->FileName[i]));
        (r->FileAttributes & 0x10 ? folders : files).Note(path, at);
      }
      if (r->NextEntryOffset == 0) break;
      offset += r->NextEntryOffset;
    }
  }

  platform::DirectoryChangeWatch watch_;
  std::vector<char> buffer_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

struct Figures {
  size_t count = 0;
  double per_second = 0;
  double median_ms = 0;
  double p99_ms = 0;
};

Figures Measure(const TimeMap& closed, const TimeMap& arrived, Clock::time_point start) {
  Figures f;
  std::vector<double> latency;
  Clock::time_point last = start;
  for (const auto& [path, at] : arrived) {
    const auto it = closed.find(path);
    if (it == closed.end()) continue;
    latency.push_back(std::chrono::duration<double, std::milli>(at - it->second).count());
    last = std::max(last, at);
  }
  f.count = latency.size();
  if (latency.empty()) return f;
  std::sort(latency.begin(), latency.end());
  f.median_ms = latency[latency.size() / 2];
  f.p99_ms = latency[std::min(latency.size() - 1, latency.size() * 99 / 100)];
  f.per_second = f.count / std::chrono::duration<double>(last - start).count();
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%-22s %6zu events  %9.0f events/s  latency median %8.2f ms  p99 %8.2f ms\n", name, f.count,
              f.per_second, f.median_ms, f.p99_ms);
}

struct BurstRound {
  Figures raw, library;
  size_t total = 0;
};

// One burst in a fresh root with a fresh provider; false when it could not run.
bool RunBurst(BurstRound& round) {
  corvane::e2e::TempSpace scratch(corvane::bench::WorkDir());
  corvane::e2e::SyncHost host(scratch.root());
  if (host.Start() != 0) {
    std::fprintf(stderr, "activation failed: %s\n", host.LastError().c_str());
    return false;
  }
  Arrivals library;
  host.SetObserver([&](const HostEvent& e) {
    if (e.id == HALVEX_EVENT_CREATE_FILE) library.Note(e.path, e.at);
  });
  RawWatch raw;
  if (!raw.Start(scratch.root())) {
    std::fprintf(stderr, "cannot watch %s\n", scratch.root().c_str());
    return false;
  }

  corvane::platform::local::Client app(scratch.root());
  const Burst burst;
  // Both sides watch every folder before the first file appears.
  if (!burst.MakeFolders(app) ||
      !host.WaitFor([&] { return host.Count(HALVEX_EVENT_CREATE_FOLDER) >= 20 && raw.folders.size() >= 20; })) {
    std::fprintf(stderr, "folders were not reported\n");
    return false;
  }
  host.WaitFor([] { return false; }, 1500);  // the new-folder rescans are done

  TimeMap closed;
  closed.reserve(burst.total());
  const Clock::time_point start = Clock::now();
  if (!burst.Write(app, &closed)) {
    std::fprintf(stderr, "the burst could not be written\n");
    return false;
  }
  const double write_s = std::chrono::duration<double>(Clock::now() - start).count();
  round.total = static_cast<size_t>(burst.total());
  host.WaitFor([&] { return library.size() >= round.total && raw.files.size() >= round.total; }, 180000);
  raw.Stop();

  round.raw = Measure(closed, raw.files.Take(), start);
  round.library = Measure(closed, library.Take(), start);
  std::printf("burst: %d files in %d folders, written in %.2f s (%.0f files/s), load %s\n", burst.total(),
              burst.folders, write_s, burst.total() / write_s, corvane::bench::LoadText().c_str());
  Print("platform notifications", round.raw);
  Print("library CreateFile", round.library);
  if (raw.overflows > 0) std::printf("platform queue overflows: %d\n", raw.overflows.load());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : corvane::bench::Rounds(6);
  const std::string dir = corvane::bench::WorkDir();
  std::printf("watcher burst in %s, %d rounds\n", dir.c_str(), rounds);
  std::vector<double> throughput, lib_rate, raw_rate, lib_p99, raw_p99, p99_extra;
  bool complete = true;
  for (int i = 0; i < rounds; ++i) {
    BurstRound round;
    if (!RunBurst(round)) return 1;
    complete = complete && round.library.count == round.total;
    lib_rate.push_back(round.library.per_second);
    raw_rate.push_back(round.raw.per_second);
    throughput.push_back(round.raw.per_second > 0 ? round.library.per_second / round.raw.per_second : 0);
    lib_p99.push_back(round.library.p99_ms);
    raw_p99.push_back(round.raw.p99_ms);
    p99_extra.push_back(round.library.p99_ms - round.raw.p99_ms);
  }
  using corvane::bench::Median;
  const double ratio = Median(throughput), extra = Median(p99_extra);
  std::printf("median throughput ratio %.2f (floor 0.90), median p99 latency over raw %+.1f ms (at most +100)\n", ratio,
              extra);
  std::printf("RESULT|burst of 10,000 files, CreateFile events (%s)|%.0f events/s|%.0f events/s|%.2f|0.90|%s\n",
              dir.c_str(), Median(lib_rate), Median(raw_rate), ratio, ratio >= 0.9 ? "pass" : "FAIL");
  std::printf("RESULT|burst p99 latency, library over raw (%s)|%.1f ms|%.1f ms|%+.1f ms|+100 ms|%s\n", dir.c_str(),
              Median(lib_p99), Median(raw_p99), extra, extra <= 100 ? "pass" : "FAIL");
  corvane::bench::ReportMemory("watcher burst peak RSS", corvane::bench::PeakRssMiB(), "MiB");
  if (!complete) std::fprintf(stderr, "the library missed CreateFile events\n");
  return complete ? 0 : 2;
}
