// An engine with a test host, a registered local sync root with dehydrated
// placeholders, and the engine's callbacks connected to it, as an active
// engine would have them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "callbacks/callback_dispatch.h"
#include "callbacks/callback_entries.h"
#include "common/root_fixture.h"
#include "component/method_layer.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "platform/cloud_files.h"
#include "platform/local/client.h"
#include "platform/local/native_path.h"
#include "platform/local/request_timeout.h"
#include "provider/open_files.h"
#include "provider/placeholder_manager.h"

namespace corvane::testing {

inline std::string Pattern(size_t size, unsigned seed = 3) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 17 + i / 4096) & 0xFF);
  return data;
}

using GetFileDataCall = test_common::Event;

class CallbackTest : public RootTest {
 protected:
  CallbackTest() : RootTest(kLogCloudTrace) {
    host_.answer = [this](test_common::Event& e, intptr_t* p, int32_t*) -> int32_t {
      if (e.id == HALVEX_EVENT_GET_FILE_DATA && on_get_file_data) p[e.count - 1] = on_get_file_data(e);
      return 0;
    };
  }
  void SetUp() override {
    RegisterRoot();
    engine().open_files = MakeOwned<OpenFiles>();
    engine().state.active.store(1);
  }
  void TearDown() override {
    Disconnect();
    platform::local::SetRequestTimeoutMs(0);
    engine().state.active.store(0);
    engine().state.deactivating.store(0);
    RootTest::TearDown();
  }

  void Connect(bool open_close = false) {
    ConnectRootRequest request;
    request.sync_root_path = root_path_.c_str();
    request.callback_context = &engine();
    request.open_close_notifications = open_close ? 1 : 0;
    ASSERT_EQ(platform::S_OK,
              engine().placeholder_manager->ConnectPlaceholderRoot(&request, nullptr, ProviderCallbackEntries()));
    connection_ = request.connection;
  }
  void Disconnect() {
    if (connection_ != nullptr) engine().placeholder_manager->DisconnectPlaceholderRoot(connection_);
    connection_ = nullptr;
  }

  // A dehydrated file placeholder of `size` bytes at the root.
  void MakePlaceholder(const std::u16string& name, int64_t size) {
    platform::CF_PLACEHOLDER_CREATE_INFO info;
    info.RelativeFileName = name.c_str();
    info.FsMetadata.FileSize = size;
    info.FsMetadata.BasicInfo.FileAttributes = platform::FILE_ATTRIBUTE_NORMAL;
    info.FileIdentity = "id";
    info.FileIdentityLength = 2;
    info.Flags = platform::CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    platform::DWORD processed = 0;
    ASSERT_EQ(platform::S_OK, platform::CfCreatePlaceholders(root_path_.c_str(), &info, 1, 0, &processed));
  }

  platform::DWORD Read(const std::string& name, std::string& data) {
    platform::local::Client client(root_.path());
    return client.ReadAll(name, data);
  }

  // Sends `data` through PutItemData in pieces of `piece` bytes.
  int32_t Put(int64_t task_id, const std::string& data, size_t piece) {
    for (size_t at = 0; at < data.size(); at += piece) {
      const size_t n = std::min(piece, data.size() - at);
      const int32_t rc = do_PutItemData(engine(), task_id, reinterpret_cast<const uint8_t*>(data.data() + at),
                                        static_cast<int32_t>(n), 0, static_cast<int32_t>(n));
      if (rc != kOk) return rc;
    }
    return kOk;
  }

  size_t ErrorCount() { return host_.Count(HALVEX_EVENT_ERROR); }

  const std::u16string root_path_ = Root();
  RootConnection* connection_ = nullptr;

  // The GetFileData handler: returns the ResultCode the host answers with.
  std::function<int32_t(const GetFileDataCall&)> on_get_file_data;
};

}  // namespace corvane::testing
