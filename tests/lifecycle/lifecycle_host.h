// A host driving one component through the exports, in a temporary sync
// root with a temporary platform state folder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/test_process.h"
#include "component/component.h"
#include "halvex/corvane.h"
#include "platform/cloud_files.h"
#include "platform/registry.h"
#include "platform/search.h"
#include "platform/shell.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane::testing {

class Host {
 public:
  std::function<void(const std::string&)> on_log;  // on the logging thread
  std::function<void(int32_t)> on_activated;       // on the activation thread

  explicit Host(const std::string& root = "") {
    handle_ = Halvex_Corvane_Create(&Host::Sink, this, nullptr, 0);
    Config("LogLevel=4");
    Config("WaitForInstallToComplete=0");
    if (!root.empty()) SetText(HALVEX_PROP_SYNC_ROOT_PATH, root);
  }
  ~Host() { Destroy(); }
  void Destroy() {
    if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
    handle_ = nullptr;
  }
  Engine& engine() { return static_cast<Component*>(handle_)->engine; }

  int32_t Config(const std::string& setting) { return Do(HALVEX_METHOD_CONFIG, setting.c_str()); }
  int32_t SetText(int32_t property, const std::string& text) {
    return Halvex_Corvane_Set(handle_, property, 0, reinterpret_cast<intptr_t>(text.c_str()), 0);
  }
  int32_t Install() { return Do(HALVEX_METHOD_INSTALL); }
  int32_t Uninstall() { return Do(HALVEX_METHOD_UNINSTALL); }
  int32_t Activate(bool synchronous) { return Do(HALVEX_METHOD_ACTIVATE, synchronous ? "x" : nullptr); }
  int32_t Deactivate() { return Do(HALVEX_METHOD_DEACTIVATE); }
  intptr_t State() { return Halvex_Corvane_Get(handle_, HALVEX_PROP_ACTIVATION_STATE, 0, nullptr, nullptr); }
  std::string LastText() { return Halvex_Corvane_GetLastError(handle_); }

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
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return activated_.size() >= n; });
    return activated_;
  }
  std::vector<int32_t> Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  bool Logged(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : logs_) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

 private:
  // One argument slot: a string, or 1 / 0 for a boolean given as non-null / null.
  int32_t Do(int32_t method, const char* arg = nullptr) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(arg), 0};
    if (method == HALVEX_METHOD_ACTIVATE) params[0] = arg != nullptr ? 1 : 0;
    int32_t sizes[2] = {0, 0};
    return Halvex_Corvane_Do(handle_, method, 1, params, sizes, nullptr);
  }
  static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<Host*>(context);
    if (id == 10 && count == 2 && params[1] != 0) {
      const std::string line = reinterpret_cast<const char*>(params[1]);
      if (self->on_log) self->on_log(line);
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->logs_.push_back(line);
    } else if (id == HALVEX_EVENT_ACTIVATED || id == HALVEX_EVENT_ERROR) {
      if (id == HALVEX_EVENT_ACTIVATED && self->on_activated) self->on_activated(static_cast<int32_t>(params[0]));
      std::lock_guard<std::mutex> lock(self->mutex_);
      (id == HALVEX_EVENT_ACTIVATED ? self->activated_ : self->errors_).push_back(static_cast<int32_t>(params[0]));
      self->cv_.notify_all();
    }
    return 0;
  }

  void* handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> logs_;
  std::vector<int32_t> activated_, errors_;
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
  void ExpectNoThreadLeft() { EXPECT_EQ(ThreadCount(), threads_before_); }

  TempStateDir state_;
  TempDir base_;
  int threads_before_ = 0;
};

}  // namespace corvane::testing
