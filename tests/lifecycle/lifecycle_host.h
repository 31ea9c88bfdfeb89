// A host driving one component through the exports, in a temporary sync
// root with a temporary platform state folder.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
#include "common/test_process.h"
#include "component/component.h"
#include "halvex/corvane.h"
#include "platform/cloud_files.h"
#include "platform/registry.h"
#include "platform/search.h"
#include "platform/shell.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane::testing {

class Host : public test_common::Host {
 public:
  // The answer reaches into this object: stop the events before it goes.
  ~Host() override { Destroy(); }
  std::function<void(int32_t)> on_activated;  // on the activation thread

  explicit Host(const std::string& root = "") {
    Config("LogLevel=4");
    Config("WaitForInstallToComplete=0");
    if (!root.empty()) SetText(HALVEX_PROP_SYNC_ROOT_PATH, root);
    answer = [this](test_common::Event& e, intptr_t*, int32_t*) {
      if (e.id == HALVEX_EVENT_ACTIVATED && on_activated) on_activated(e.code);
      return 0;
    };
  }
  Engine& engine() { return static_cast<Component*>(handle())->engine; }

  int32_t SetText(int32_t property, const std::string& text) {
    return Halvex_Corvane_Set(handle(), property, 0, test_common::Ptr(text.c_str()), 0);
  }
  intptr_t State() { return Halvex_Corvane_Get(handle(), HALVEX_PROP_ACTIVATION_STATE, 0, nullptr, nullptr); }

  // Makes the next registration wait `ms` just before it connects; `reached`
  // is set when it gets there.
  void HoldConnect(int ms, std::atomic<bool>* reached = nullptr) {
    on_log = [ms, reached](const std::string& line) {
      if (line.find("Connecting sync root") == std::string::npos) return;
      if (reached != nullptr) *reached = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
  }
  // The codes of the Activated events, waiting up to `ms` for `n` of them.
  std::vector<int32_t> WaitActivated(size_t n, int ms = 5000) {
    WaitFor(HALVEX_EVENT_ACTIVATED, n, std::chrono::milliseconds(ms));
    return Codes(HALVEX_EVENT_ACTIVATED);
  }
  std::vector<int32_t> Errors() { return Codes(HALVEX_EVENT_ERROR); }

 private:
  std::vector<int32_t> Codes(int32_t id) {
    std::vector<int32_t> codes;
    for (const test_common::Event& e : Events(id)) codes.push_back(e.code);
    return codes;
  }
};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(Root());
    threads_before_ = ThreadCount();
  }

  static int ThreadCount() { return test_common::ThreadCount(); }
  std::string Root() const { return base_ / "root"; }
  static std::u16string Windows(const std::string& native) {
    std::u16string path(native.begin(), native.end());  // ASCII temp paths
    for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
    return path;
  }
  static bool IsRegistered(const std::string& native) {
    platform::CF_SYNC_ROOT_BASIC_INFO info;
    return platform::CfGetSyncRootInfoByPath(Windows(native).c_str(), platform::CF_SYNC_ROOT_INFO_BASIC, &info,
                                             sizeof info, nullptr) == platform::S_OK;
  }
  static std::vector<platform::StorageProviderSyncRootInfo> ShellRoots() {
    std::vector<platform::StorageProviderSyncRootInfo> roots;
    platform::StorageProviderSyncRootManager::GetCurrentSyncRoots(roots);
    return roots;
  }
  static bool HasShellKey(const std::u16string& id) {
    const std::u16string key = std::u16string(platform::kSyncRootManagerKey) + u"\\" + id;
    platform::HKEY opened = nullptr;
    if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, key.c_str(), 0, platform::KEY_READ, &opened) != 0) {
      return false;
    }
    platform::RegCloseKey(opened);
    return true;
  }
  // No platform, shell, registry or search record of the root is left.
  void ExpectNothingRegistered(const std::u16string& id) {
    EXPECT_FALSE(IsRegistered(Root()));
    EXPECT_TRUE(ShellRoots().empty());
    EXPECT_FALSE(HasShellKey(id));
    std::vector<platform::CrawlScopeRule> rules;
    platform::ListDefaultScopeRules(u"SystemIndex", rules);
    EXPECT_TRUE(rules.empty());
  }
  void ExpectNoThreadLeft() {
    EXPECT_TRUE(test_common::ThreadsBackTo(threads_before_)) << ThreadCount() << " threads, " << threads_before_;
  }

  TempStateDir state_;
  TempDir base_;
  int threads_before_ = 0;
};

}  // namespace corvane::testing
