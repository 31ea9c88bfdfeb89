// A component whose engine works on a temporary sync root, with every event
// and log line it raises recorded by the shared host. Derived fixtures set
// `host_.answer` and end their TearDown with RootTest::TearDown: the answer
// reaches into them, so the component must be gone before they are.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_host.h"
#include "diag/capture_sink.h"
#include "engine/engine.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"
#include "provider/manager_fixture.h"
#include "provider/placeholder_manager.h"
#include "support/owned.h"

namespace corvane::testing {

class RootTest : public ::testing::Test {
 protected:
  explicit RootTest(int32_t log_level) {
    SetCurrentLogLevel(log_level);
    EXPECT_EQ(0, engine().SetSyncRootPath(platform::local::FromNativePath(root_.path())));
  }
  void TearDown() override { host_.Destroy(); }

  Engine& engine() { return host_.c().engine; }
  std::u16string Root() { return engine().EffectiveSyncRootPath(); }
  std::string Native(const std::string& rel) const { return root_ / rel; }
  // "a/b.txt" below the root, or u"\\a\\b.txt" as the component names it.
  std::u16string Full(const std::string& rel) const { return platform::local::FromNativePath(Native(rel)); }
  std::u16string Full(const std::u16string& rel) { return Root() + rel; }

  // A placeholder manager over the registered root, as an active engine has.
  void RegisterRoot() {
    engine().placeholder_manager = MakeOwned<PlaceholderManager>(engine().diag);
    const std::u16string root = Root();
    const RegisterRootRequest request = TestRootRequest(root);
    ASSERT_EQ(platform::S_OK, engine().placeholder_manager->RegisterPlaceholderRoot(&request));
  }

  void WriteFile(const std::string& rel, const std::string& content) {
    std::ofstream(Native(rel), std::ios::binary | std::ios::trunc) << content;
  }

  std::vector<test_common::Event> Events(int32_t id) { return host_.Events(id); }
  bool Logged(const std::string& text) { return host_.Logged(text); }

  // Polls `done` for up to `ms`.
  static bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  LogLevelGuard level_guard_;
  TempStateDir state_;
  TempDir root_;
  TestHost host_{true};
};

}  // namespace corvane::testing
