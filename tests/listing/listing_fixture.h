// A component whose engine works on a temporary sync root registered with
// the local platform, a placeholder manager made by hand, and a small
// provider connection that serves file data for hydrations. Events the
// engine raises are recorded; ListDirectory goes to `on_list`.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/root_fixture.h"
#include "diag/result_codes.h"
#include "halvex/corvane.h"
#include "platform/files.h"
#include "platform/local/client.h"
#include "platform/local/native_path.h"
// Only the test provider of the platform fixture is used here, not its
// command-line runner, which needs the client program's path.
#ifndef CORVANE_CLIENT_PATH
#define CORVANE_CLIENT_PATH "corvane-client"
#endif
#include "platform/platform_fixture.h"
#include "provider/create_update.h"
#include "provider/placeholder_manager.h"
#include "support/utf.h"

namespace corvane::testing {

// 2021-03-04 and later, as file times.
constexpr int64_t kTime1 = 132592608000000000;
constexpr int64_t kTime2 = kTime1 + 10000000;
constexpr int64_t kTime3 = kTime1 + 20000000;

class ListingTest : public RootTest {
 protected:
  ListingTest() : RootTest(getenv("LISTING_QUIET") ? kLogMilestone : kLogVerbose) {
    host_.answer = [this](test_common::Event& e, intptr_t* p, int32_t*) -> int32_t {
      if (e.id == HALVEX_EVENT_LIST_DIRECTORY) {
        if (on_list) p[e.count - 1] = on_list(Int64At(p, 0), WideAt(p, 1));
      } else if (e.id == HALVEX_EVENT_CREATE_FILE || e.id == HALVEX_EVENT_CREATE_FOLDER ||
                 e.id == HALVEX_EVENT_UPDATE_FILE) {
        p[e.count - 1] = item_answer;
      }
      return 0;
    };
  }
  void SetUp() override {
    RegisterRoot();
    ASSERT_EQ(platform::S_OK, provider_.Connect(root_.path()));
    engine().state.active.store(1);
  }
  void TearDown() override {
    if (getenv("LISTING_TEST_LOGS") != nullptr) {
      for (const auto& line : host_.Logs()) printf("%s\n", line.c_str());
    }
    engine().state.active.store(0);
    provider_.Disconnect();
    RootTest::TearDown();
  }

  std::string ReadLocal(const std::string& rel) {
    std::string data;
    EXPECT_EQ(0u, client_.ReadAll(Native(rel), data));
    return data;
  }
  platform::local::ItemState State(const std::string& rel) {
    platform::local::ItemState state;
    EXPECT_EQ(0u, client_.State(Native(rel), state)) << rel;
    return state;
  }
  // Names on disk, read without asking the provider for anything.
  std::vector<std::string> Listed(const std::string& rel = "") {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(rel.empty() ? root_.path() : Native(rel)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  platform::WIN32_FIND_DATAW Find(const std::string& rel) {
    platform::WIN32_FIND_DATAW data;
    const platform::Handle find = platform::FindFirstFileW(Full(rel).c_str(), &data);
    EXPECT_NE(platform::INVALID_HANDLE_VALUE, find) << rel;
    if (find != platform::INVALID_HANDLE_VALUE) platform::FindClose(find);
    return data;
  }
  // A hydrated placeholder with `content`, as if it had been downloaded.
  void MakeHydratedPlaceholder(const std::string& rel, const std::string& content) {
    WriteFile(rel, content);
    const std::u16string full = Full(rel);
    const std::u16string id = u"\\" + Utf8ToUtf16Lossy(rel);
    ConvertRequest request;
    request.path = full.c_str();
    request.file_identity = id.c_str();
    request.file_identity_length = static_cast<uint32_t>((id.size() + 1) * 2);
    request.convert_flags = platform::CF_CONVERT_FLAG_MARK_IN_SYNC;
    ASSERT_EQ(platform::S_OK, engine().placeholder_manager->ConvertToPlaceholder(&request));
  }

  // ListDirectory: (task id, folder) -> the handler's answer.
  std::function<int32_t(int64_t, const std::u16string&)> on_list;
  // CreateFile and UpdateFile: the handler's answer.
  int32_t item_answer = 0;

  platform::testing::TestProvider provider_;
  platform::local::Client client_{root_.path()};
};

}  // namespace corvane::testing
