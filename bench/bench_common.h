// What every benchmark shares: library and baseline rounds alternate, the
// figure is the median of the per-round ratios (a neighbour's burst hits one
// round, not one side), and each result ends in one machine-readable line
// that scripts/bench.sh gathers into its summary table:
//   RESULT|<what>|<library figure>|<baseline figure>|<ratio>|<floor>|<pass or FAIL>
//   MEMORY|<what>|<value>
#pragma once

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvane::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The folder the benchmark works in: TMPDIR when set, else /tmp.
inline std::string WorkDir() {
  const char* dir = getenv("TMPDIR");
  return dir != nullptr && *dir ? dir : "/tmp";
}

inline std::string LoadText() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) < 1) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

// Peak resident size of this process so far, in MiB.
inline double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Current resident size, in MiB (from /proc/self/statm).
inline double RssMiB() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long pages = 0, resident = 0;
  const int got = std::fscanf(f, "%lu %lu", &pages, &resident);
  std::fclose(f);
  return got == 2 ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20) : 0;
}

struct Round {
  double library = 0;   // the figure (higher is better when `higher_is_better`)
  double baseline = 0;
};

// Runs `rounds` pairs, the side that goes first alternating, and prints each
// round and the medians. `ratio` of one round is library/baseline for
// throughputs, baseline/library for durations.
class Comparison {
 public:
  Comparison(std::string what, std::string unit, bool higher_is_better, double floor)
      : what_(std::move(what)), unit_(std::move(unit)), higher_(higher_is_better), floor_(floor) {}

  // A first pair runs untimed: on a virtual machine memory the guest has
  // not touched yet costs several times more to fill, and whichever side
  // met it first would lose by it.
  void Run(int rounds, const std::function<double()>& library, const std::function<double()>& baseline,
           bool warm_up = true) {
    if (warm_up) {
      library();
      baseline();
    }
    for (int round = 1; round <= rounds; ++round) {
      Round r;
      if (round % 2) {
        r.library = library();
        r.baseline = baseline();
      } else {
        r.baseline = baseline();
        r.library = library();
      }
      const double ratio = Ratio(r);
      ratios_.push_back(ratio);
      rounds_.push_back(r);
      std::printf("  round %d (%s first): library %.3f %s, baseline %.3f %s, ratio %.2f, load %s\n", round,
                  round % 2 ? "library" : "baseline", r.library, unit_.c_str(), r.baseline, unit_.c_str(), ratio,
                  LoadText().c_str());
      std::fflush(stdout);
    }
  }

  double MedianRatio() const { return Median(ratios_); }

  // Prints the summary line; true when the median ratio reaches the floor.
  bool Report() const {
    std::vector<double> library, baseline;
    for (const Round& r : rounds_) {
      library.push_back(r.library);
      baseline.push_back(r.baseline);
    }
    const double ratio = MedianRatio();
    std::printf("%s: median library %.3f %s, baseline %.3f %s, median ratio %.2f (floor %.2f), load %s\n",
                what_.c_str(), Median(library), unit_.c_str(), Median(baseline), unit_.c_str(), ratio, floor_,
                LoadText().c_str());
    std::printf("RESULT|%s|%.3f %s|%.3f %s|%.2f|%.2f|%s\n", what_.c_str(), Median(library), unit_.c_str(),
                Median(baseline), unit_.c_str(), ratio, floor_, ratio >= floor_ ? "pass" : "FAIL");
    std::fflush(stdout);
    return ratio >= floor_;
  }

 private:
  double Ratio(const Round& r) const {
    if (higher_) return r.baseline > 0 ? r.library / r.baseline : 0;
    return r.library > 0 ? r.baseline / r.library : 0;
  }

  std::string what_, unit_;
  bool higher_;
  double floor_;
  std::vector<double> ratios_;
  std::vector<Round> rounds_;
};

inline void ReportMemory(const std::string& what, double value, const char* unit) {
  std::printf("MEMORY|%s|%.1f %s\n", what.c_str(), value, unit);
  std::fflush(stdout);
}

// Rounds from the environment (BENCH_ROUNDS), else `fallback`. Keep it even:
// the side that runs second in a pair pays for what the first freed (on a
// virtual machine, memory and blocks given back cost more to take again),
// so each order should count as often.
inline int Rounds(int fallback) {
  const char* text = getenv("BENCH_ROUNDS");
  const int n = text != nullptr ? std::atoi(text) : fallback;
  return std::max(1, n);
}

}  // namespace corvane::bench
