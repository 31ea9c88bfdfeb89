// Registration and connection: who serves a root, and what a disconnect
// does to applications that wait.
#include "platform_fixture.h"

#include "platform/errors.h"
#include "platform/local/sync_roots.h"

namespace corvane::platform::testing {
namespace {

class Connection : public PlatformTest {};

TEST_F(Connection, OneProviderPerRootAndStaleSocketsRecovered) {
  TestProvider first, second;
  EXPECT_EQ(first.Connect(root_), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
  ASSERT_EQ(Register(), S_OK);
  // What a provider that died leaves behind: its socket file. Applications
  // are told nobody serves the root, and a new provider takes over.
  const std::string socket_path = local::ProviderSocketPath(local::CanonicalPath(root_));
  std::ofstream(socket_path) << "left over";
  ASSERT_EQ(MakeFile(root_, "s.txt", 10), S_OK);
  ASSERT_EQ(MakeFolder(root_, "unlisted", false), S_OK);
  local::Client client(root_);
  std::string data;
  EXPECT_EQ(client.ReadAll("s.txt", data), ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  std::vector<local::ClientEntry> entries;
  EXPECT_EQ(client.List("unlisted", entries), ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  // A table entry without a function, of an unknown type or given twice is refused.
  const CF_CALLBACK fetch = [](const CF_CALLBACK_INFO*, const CF_CALLBACK_PARAMETERS*) {};
  const CF_CALLBACK_REGISTRATION bad_tables[][3] = {
      {{CF_CALLBACK_TYPE_FETCH_DATA, fetch}, {CF_CALLBACK_TYPE_NOTIFY_DELETE, nullptr}, CF_CALLBACK_REGISTRATION_END},
      {{static_cast<CF_CALLBACK_TYPE>(13), fetch}, CF_CALLBACK_REGISTRATION_END, CF_CALLBACK_REGISTRATION_END},
      {{CF_CALLBACK_TYPE_FETCH_DATA, fetch}, {CF_CALLBACK_TYPE_FETCH_DATA, fetch}, CF_CALLBACK_REGISTRATION_END},
  };
  CF_CONNECTION_KEY key;
  for (const auto& table : bad_tables) EXPECT_EQ(CfConnectSyncRoot(W(root_).c_str(), table, nullptr, 0, &key), E_INVALIDARG);
  ASSERT_EQ(first.Connect(root_), S_OK);
  first.content[local::CanonicalPath(root_) + "/s.txt"] = "0123456789";
  ASSERT_EQ(client.ReadAll("s.txt", data), 0u);
  EXPECT_EQ(data, "0123456789");
  EXPECT_EQ(second.Connect(root_), HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_ALREADY_CONNECTED));
  alignas(8) unsigned char buffer[1064];
  ASSERT_EQ(CfGetSyncRootInfoByPath(W(root_).c_str(), CF_SYNC_ROOT_INFO_STANDARD, buffer, sizeof buffer, nullptr),
            S_OK);
  EXPECT_EQ(reinterpret_cast<CF_SYNC_ROOT_STANDARD_INFO*>(buffer)->ProviderStatus, CF_PROVIDER_STATUS_IDLE);
  ASSERT_EQ(first.Disconnect(), S_OK);
  EXPECT_EQ(first.Disconnect(), E_INVALIDARG);
  ASSERT_EQ(second.Connect(root_), S_OK);
  EXPECT_EQ(second.Disconnect(), S_OK);
}

TEST_F(Connection, DisconnectFailsEveryWaitingReadAndLeavesNoThread) {
  ASSERT_EQ(Register(), S_OK);
  constexpr int kReads = 32;
  for (int i = 0; i < kReads; ++i) ASSERT_EQ(MakeFile(root_, "r" + std::to_string(i), 8192), S_OK);
  const size_t threads_before = ThreadCount();
  const size_t fds_before = OpenFdCount();
  TestProvider provider;
  provider.mode = FetchMode::kNever;
  ASSERT_EQ(provider.Connect(root_), S_OK);
  std::vector<DWORD> results(kReads, 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReads; ++i) {
    readers.emplace_back([&, i] {
      local::Client client(root_);
      std::string data;
      results[i] = client.ReadAll("r" + std::to_string(i), data);
    });
  }
  for (int i = 0; i < 500 && provider.fetches.load() < kReads; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(provider.fetches.load(), kReads);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(provider.Disconnect(), S_OK);
  for (auto& t : readers) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  for (int i = 0; i < kReads; ++i) EXPECT_EQ(results[i], ERROR_CLOUD_FILE_PROVIDER_TERMINATED) << i;
  EXPECT_TRUE(test_common::ThreadsBackTo(static_cast<int>(threads_before)));
  EXPECT_EQ(OpenFdCount(), fds_before);
}

TEST_F(Connection, ManyConcurrentReadsOfTheSameAndOtherFiles) {
  ASSERT_EQ(Register(), S_OK);
  const size_t size = 2 * 409600 + 5;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(MakeFile(root_, "c" + std::to_string(i), size), S_OK);
  TestProvider provider;
  provider.mode = FetchMode::kOtherThread;
  for (int i = 0; i < 4; ++i) provider.content[root_ + "/c" + std::to_string(i)] = Pattern(size, i);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  std::atomic<int> good{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 16; ++i) {
    readers.emplace_back([&, i] {
      local::Client client(root_);
      std::string data;
      const int file = i % 4;
      if (client.ReadAll("c" + std::to_string(file), data) == 0 && data == Pattern(size, file)) good++;
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(good.load(), 16);
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

}  // namespace
}  // namespace corvane::platform::testing
