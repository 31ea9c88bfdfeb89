// A sync root in a temporary folder, a temporary state folder, and a
// placeholder manager whose log lines are collected.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "diag/capture_sink.h"
#include "diag/diagnostics.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"
#include "provider/placeholder_manager.h"

namespace corvane::testing {

// The registration every test root gets; `root` must outlive the request.
inline RegisterRootRequest TestRootRequest(const std::u16string& root, const char16_t* name = u"Corvane",
                                           const char16_t* version = u"1.0") {
  RegisterRootRequest request;
  request.sync_root_path = root.c_str();
  request.provider_name = name;
  request.provider_version = version;
  request.hydration_primary = platform::CF_HYDRATION_POLICY_FULL;
  request.population_primary = platform::CF_POPULATION_POLICY_ALWAYS_FULL;
  request.in_sync_policy = 0x0055550F;
  return request;
}

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : diagnostics_(&sink_), manager_(diagnostics_) { SetCurrentLogLevel(kLogCloudTrace); }

  std::u16string RootPath() const { return platform::local::FromNativePath(root_.path()); }
  std::u16string PathOf(const std::string& rel) const { return platform::local::FromNativePath(root_ / rel); }

  RegisterRootRequest RegisterRequest(const char16_t* name = u"Corvane", const char16_t* version = u"1.0") {
    root_path_ = RootPath();
    return TestRootRequest(root_path_, name, version);
  }

  void RegisterRoot() {
    const RegisterRootRequest request = RegisterRequest();
    ASSERT_EQ(platform::S_OK, manager_.RegisterPlaceholderRoot(&request));
  }

  void WriteFile(const std::string& rel, const std::string& content) {
    std::ofstream(root_ / rel, std::ios::binary) << content;
  }

  // Lines containing `text`, at any level.
  std::vector<std::pair<int32_t, std::u16string>> LinesWith(std::u16string_view text) {
    std::lock_guard<std::mutex> lock(sink_.mu);
    std::vector<std::pair<int32_t, std::u16string>> found;
    for (const auto& line : sink_.lines)
      if (line.second.find(text) != std::u16string::npos) found.push_back(line);
    return found;
  }
  void ClearLines() {
    std::lock_guard<std::mutex> lock(sink_.mu);
    sink_.lines.clear();
  }

  LogLevelGuard level_guard_;
  TempStateDir state_;
  TempDir root_;
  std::u16string root_path_;
  CaptureSink sink_;
  Diagnostics diagnostics_;
  PlaceholderManager manager_;
};

}  // namespace corvane::testing
