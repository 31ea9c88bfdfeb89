#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "diag/log.h"

namespace corvane::testing {

class CaptureSink : public LogSink {
 public:
  void DeliverLogLine(int32_t level, const std::u16string& line) override {
    std::lock_guard<std::mutex> lock(mu);
    lines.emplace_back(level, line);
  }
  std::mutex mu;
  std::vector<std::pair<int32_t, std::u16string>> lines;
};

// Restores the process-wide level after a test changed it.
class LogLevelGuard {
 public:
  LogLevelGuard() : saved_(CurrentLogLevel()) {}
  ~LogLevelGuard() { SetCurrentLogLevel(saved_); }

 private:
  int32_t saved_;
};

}  // namespace corvane::testing
