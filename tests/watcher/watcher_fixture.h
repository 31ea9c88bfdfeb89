// A component whose engine watches a temporary sync root, with the events
// and log lines the watcher causes collected for the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/root_fixture.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "platform/local/native_path.h"
#include "provider/placeholder_manager.h"
#include "watcher/directory_watcher.h"
#include "watcher/watcher_entry.h"

namespace corvane::testing {

using SeenEvent = test_common::Event;

class WatcherTest : public RootTest {
 protected:
  WatcherTest() : RootTest(kLogVerbose) {
    // A slow host: each CreateFile/CreateFolder answer takes create_delay_ms_.
    host_.answer = [this](SeenEvent& e, intptr_t*, int32_t*) -> int32_t {
      if ((e.id == HALVEX_EVENT_CREATE_FILE || e.id == HALVEX_EVENT_CREATE_FOLDER) && create_delay_ms_ > 0)
        Pause(create_delay_ms_.load());
      return 0;
    };
  }
  void TearDown() override {
    StopDirectoryWatcher(engine());
    engine().placeholder_manager.reset();
    RootTest::TearDown();
  }

  // The file appears with its content, in one step: the watcher never sees
  // it empty and then written.
  void MoveInFile(const std::string& rel, const std::string& content) {
    const std::string staging = root_.path() + "-staging";
    std::ofstream(staging, std::ios::binary | std::ios::trunc) << content;
    ASSERT_EQ(0, rename(staging.c_str(), Native(rel).c_str()));
  }
  void MakeDir(const std::string& rel) { ASSERT_EQ(0, mkdir(Native(rel).c_str(), 0755)); }

  void MakePlaceholder(const std::u16string& rel) {
    const std::u16string full = Full(rel);
    ConvertRequest convert;
    convert.path = full.c_str();
    ASSERT_EQ(platform::S_OK, engine().placeholder_manager->ConvertToPlaceholder(&convert));
  }

  // Puts the item's current values into the metadata cache, as a report
  // that the host accepted would have.
  void Know(const std::u16string& rel) {
    const std::u16string full = Full(rel);
    platform::WIN32_FIND_DATAW data;
    const platform::Handle find = platform::FindFirstFileW(full.c_str(), &data);
    ASSERT_NE(platform::INVALID_HANDLE_VALUE, find);
    platform::FindClose(find);
    uint32_t attributes = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) ? kItemAttributeFolder : 0;
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    engine().metadata_cache.AddNewItemToCache(rel, rel.substr(rel.rfind(u'\\') + 1), attributes,
                                              attributes ? 0 : size, data.ftCreationTime, data.ftLastAccessTime,
                                              data.ftLastWriteTime);
  }

  bool StartWatcher() { return StartDirectoryWatcher(engine()); }

  size_t CountOf(int32_t id, const std::string& path = "") { return host_.Count(id, path); }
  // "id path flags" of every event, for failure messages.
  std::string Seen() {
    std::string text;
    for (const auto& e : host_.Events()) text += std::to_string(e.id) + " " + e.path + " " + std::to_string(e.flags) + "; ";
    return text;
  }
  // Every change made before this call has been processed. Folders of one
  // batch run side by side, so the first marker's report only shows that its
  // batch runs; the second lands in a later batch, which waits for it.
  void Settle() {
    for (int step = 0; step < 2; ++step) {
      const std::string name = "settle-" + std::to_string(++settles_) + ".txt";
      MoveInFile(name, "s");
      ASSERT_TRUE(WaitUntil([&] { return CountOf(HALVEX_EVENT_CREATE_FILE, "\\" + name) >= 1; }, 30000)) << name;
      host_.Forget("\\" + name);
    }
  }
  void ClearEvents() { host_.Clear(); }
  size_t LinesWith(const std::u16string& text) {
    const std::string narrow(text.begin(), text.end());  // the texts looked for are ASCII
    size_t n = 0;
    for (const auto& line : host_.Logs()) n += line.find(narrow) != std::string::npos;
    return n;
  }

  static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  int settles_ = 0;
  // A slow host: each CreateFile/CreateFolder answer takes this long.
  std::atomic<int> create_delay_ms_{0};
};

}  // namespace corvane::testing
