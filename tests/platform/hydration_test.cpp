// Reads of dehydrated data wait for the provider and return exactly what it
// transferred; transfers are checked the way Windows checks them.
#include "platform_fixture.h"

#include "platform/errors.h"

namespace corvane::platform::testing {
namespace {

class Hydration : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_EQ(Register(), S_OK);
  }
};

TEST_F(Hydration, ReadInTheMiddleAsksForWholePagesOnly) {
  const size_t size = 10 * 4096 + 100;
  ASSERT_EQ(MakeFile(root_, "m.bin", size), S_OK);
  TestProvider provider;
  provider.content[root_ + "/m.bin"] = Pattern(size);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  local::Client client(root_);
  std::string data;
  ASSERT_EQ(client.Read("m.bin", 5000, 3000, data), 0u);
  EXPECT_TRUE(data == Pattern(size).substr(5000, 3000));
  ASSERT_EQ(client.Read("m.bin", size - 50, 1000, data), 0u);  // clipped at the end
  EXPECT_TRUE(data == Pattern(size).substr(size - 50));
  ASSERT_EQ(provider.required.size(), 2u);
  EXPECT_EQ(provider.required[0], (std::pair<int64_t, int64_t>(4096, 4096)));
  EXPECT_EQ(provider.required[1], (std::pair<int64_t, int64_t>(10 * 4096, 100)));
  local::ItemState state;
  ASSERT_EQ(client.State("m.bin", state), 0u);
  EXPECT_FALSE(state.FullyHydrated());
  EXPECT_EQ(state.hydrated.size(), 2u);
  EXPECT_EQ(state.progress_total, static_cast<int64_t>(size));
  EXPECT_EQ(state.progress_completed, static_cast<int64_t>(size));
  EXPECT_NE(state.ToText().find("progress: " + std::to_string(size) + " of " + std::to_string(size)), std::string::npos);
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

// An open handle belongs to its file, not to the name it was opened by: a
// read after a move fetches for the file where it is now, and a read after
// another file took the name (an editor's save) must not fetch into that file.
TEST_F(Hydration, AHandleReadsItsOwnFileAfterTheNameMovesOrIsTaken) {
  const size_t size = 3 * 4096;
  ASSERT_EQ(MakeFile(root_, "moved.bin", size), S_OK);
  ASSERT_EQ(MakeFile(root_, "saved.doc", size), S_OK);
  TestProvider provider;
  provider.content[root_ + "/moved.bin"] = provider.content[root_ + "/elsewhere.bin"] = Pattern(size);
  provider.content[root_ + "/saved.doc"] = Pattern(size, 9);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  const auto open = [&](const std::string& name) {
    return CreateFileW(W(root_ + "/" + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
  };
  char buf[100];
  DWORD n = 0;

  const Handle moved = open("moved.bin");
  ASSERT_NE(moved, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rename((root_ + "/moved.bin").c_str(), (root_ + "/elsewhere.bin").c_str()), 0);
  EXPECT_TRUE(ReadFile(moved, buf, sizeof buf, &n, 4096)) << GetLastError();
  EXPECT_EQ(std::string(buf, n), Pattern(size).substr(4096, sizeof buf));
  CloseHandle(moved);

  const Handle replaced = open("saved.doc");
  ASSERT_NE(replaced, INVALID_HANDLE_VALUE);
  const std::string users = "the user's new document";
  std::ofstream(root_ + "/saved.doc.new", std::ios::binary) << users;
  ASSERT_EQ(rename((root_ + "/saved.doc.new").c_str(), (root_ + "/saved.doc").c_str()), 0);
  const int fetches = provider.fetches;
  EXPECT_FALSE(ReadFile(replaced, buf, sizeof buf, &n, 0));
  CloseHandle(replaced);
  EXPECT_EQ(provider.fetches, fetches);
  local::Client client(root_);
  std::string now;
  ASSERT_EQ(client.ReadAll("saved.doc", now), 0u);
  EXPECT_EQ(now, users);
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

// Keeps a fetch open so a test can send transfers of its own.
struct HeldFetch {
  std::mutex mutex;
  std::condition_variable arrived;
  bool have = false;
  CF_CALLBACK_INFO info;
  CF_CONNECTION_KEY key;
  std::string data;
  DWORD read_result = 1;
  std::thread reader;
};
HeldFetch* held = nullptr;

void HoldFetch(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS*) {
  std::lock_guard<std::mutex> lock(held->mutex);
  held->info = *info;
  held->info.NormalizedPath = nullptr;
  held->have = true;
  held->arrived.notify_all();
}

// Connects a provider that keeps its fetches, and reads `name` on a thread
// until the fetch arrives.
bool StartHeldRead(HeldFetch& fetch, const std::string& root, local::Client& client, const std::string& name) {
  held = &fetch;
  static CF_CALLBACK_REGISTRATION table[] = {{CF_CALLBACK_TYPE_FETCH_DATA, &HoldFetch}, CF_CALLBACK_REGISTRATION_END};
  if (CfConnectSyncRoot(W(root).c_str(), table, nullptr, CF_CONNECT_FLAG_NONE, &fetch.key) != S_OK) return false;
  fetch.reader = std::thread([&fetch, &client, name] { fetch.read_result = client.ReadAll(name, fetch.data); });
  std::unique_lock<std::mutex> lock(fetch.mutex);
  return fetch.arrived.wait_for(lock, std::chrono::seconds(10), [&] { return fetch.have; });
}

void ExpectHeldReadReturns(HeldFetch& fetch, const std::string& content) {
  fetch.reader.join();
  EXPECT_EQ(fetch.read_result, 0u);
  EXPECT_TRUE(fetch.data == content);
  EXPECT_EQ(CfDisconnectSyncRoot(fetch.key), S_OK);
  held = nullptr;
}

TEST_F(Hydration, MisalignedOrOutsideTransfersAreRefusedAndTheReadStillCompletes) {
  const size_t size = 3 * 4096 + 7;
  ASSERT_EQ(MakeFile(root_, "t.bin", size), S_OK);
  HeldFetch fetch;
  local::Client client(root_);
  ASSERT_TRUE(StartHeldRead(fetch, root_, client, "t.bin"));
  const std::string content = Pattern(size);
  const HRESULT invalid = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST);
  const auto& info = fetch.info;
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data(), 100, 4096), invalid);   // offset
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data(), 0, 4000), invalid);     // length
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data(), 8192, 8192), invalid);  // past end
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, nullptr, 0, 4096), invalid);           // no data
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data(), 0, 0), invalid);        // empty
  CF_CALLBACK_INFO wrong = info;
  wrong.TransferKey += 1000;
  EXPECT_EQ(TestProvider::Execute(&wrong, STATUS_SUCCESS, content.data(), 0, 4096), invalid);
  // None of that failed the read; a proper transfer (last chunk ending at
  // the end of the file, not page-sized) completes it.
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data(), 0, 8192), S_OK);
  EXPECT_EQ(TestProvider::Execute(&info, STATUS_SUCCESS, content.data() + 8192, 8192, size - 8192), S_OK);
  ExpectHeldReadReturns(fetch, content);
}

// A failing or silent provider is covered through the engine in the
// callbacks tests; with no provider at all the read fails at once.
TEST_F(Hydration, WithoutAProviderReadsFailAtOnceHereAndInASecondProcess) {
  ASSERT_EQ(MakeFile(root_, "x.bin", 5000), S_OK);
  local::Client client(root_);
  std::string data;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ReadAll("x.bin", data), ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  std::string err;
  EXPECT_EQ(RunClient("read '" + root_ + "/x.bin'", nullptr, &err), 1);
  EXPECT_NE(err.find("The cloud file provider is not running. (error 362)"), std::string::npos) << err;
}

TEST_F(Hydration, WritesHydrateTouchedPagesAndDehydrationGivesSpaceBack) {
  const size_t size = 5 * 4096;
  ASSERT_EQ(MakeFile(root_, "w.bin", size), S_OK);
  TestProvider provider;
  provider.content[root_ + "/w.bin"] = Pattern(size);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  local::Client client(root_);
  ASSERT_EQ(client.Write("w.bin", 4096 + 10, "hello"), 0u);
  std::string expected = Pattern(size);
  expected.replace(4096 + 10, 5, "hello");
  std::string data;
  ASSERT_EQ(client.ReadAll("w.bin", data), 0u);
  EXPECT_TRUE(data == expected);
  local::ItemState state;
  ASSERT_EQ(client.State("w.bin", state), 0u);
  EXPECT_FALSE(state.in_sync);  // an application changed it
  // A file that is not in sync holds the only copy of the change.
  EXPECT_EQ(client.Dehydrate("w.bin"), ERROR_CLOUD_FILE_NOT_IN_SYNC);
  Handle h = CreateFileW(W(root_ + "/w.bin").c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         INVALID_HANDLE_VALUE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Nor does an update that would dehydrate it change anything.
  CF_FS_METADATA meta;
  meta.FileSize = 4096;
  EXPECT_EQ(CfUpdatePlaceholder(h, &meta, nullptr, 0, nullptr, 0, CF_UPDATE_FLAG_DEHYDRATE | CF_UPDATE_FLAG_MARK_IN_SYNC,
                                nullptr, nullptr),
            HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC));
  ASSERT_EQ(client.State("w.bin", state), 0u);
  EXPECT_FALSE(state.in_sync);
  EXPECT_EQ(state.size, size);
  ASSERT_EQ(client.ReadAll("w.bin", data), 0u);
  EXPECT_TRUE(data == expected);

  ASSERT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, nullptr), S_OK);
  ASSERT_EQ(CfSetPinState(h, CF_PIN_STATE_PINNED, CF_SET_PIN_FLAG_NONE, nullptr), S_OK);
  EXPECT_EQ(CfDehydratePlaceholder(h, 0, -1, CF_DEHYDRATE_FLAG_NONE, nullptr),
            HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PINNED));
  ASSERT_EQ(CfSetPinState(h, CF_PIN_STATE_UNSPECIFIED, CF_SET_PIN_FLAG_NONE, nullptr), S_OK);
  CloseHandle(h);
  ASSERT_EQ(client.Dehydrate("w.bin"), 0u);
  EXPECT_EQ(provider.dehydrates.load(), 1);
  ASSERT_EQ(client.State("w.bin", state), 0u);
  EXPECT_TRUE(state.hydrated.empty());
  EXPECT_EQ(state.size, size);
  // Reading again fetches the provider's content.
  ASSERT_EQ(client.ReadAll("w.bin", data), 0u);
  EXPECT_TRUE(data == Pattern(size));
  // A provider may refuse a dehydration.
  provider.dehydrate_answer = STATUS_CLOUD_FILE_DEHYDRATION_DISALLOWED;
  EXPECT_EQ(client.Dehydrate("w.bin"), ERROR_CLOUD_FILE_DEHYDRATION_DISALLOWED);
  ASSERT_EQ(client.State("w.bin", state), 0u);
  EXPECT_TRUE(state.FullyHydrated());

  // Writes that land while another writer looks at the item's state are
  // still known for what they are: taken for writes the platform cannot
  // place, they would leave the pages never fetched unreadable for good.
  ASSERT_EQ(MakeFile(root_, "two.bin", size), S_OK);
  provider.content[root_ + "/two.bin"] = Pattern(size);
  auto writer = [&](char c) {
    local::Client own(root_);
    const uint64_t at = size - (c == 'a' ? 100 : 50);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(own.Write("two.bin", at + i % 50, std::string(1, c)), 0u);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  ASSERT_EQ(client.ReadAll("two.bin", data), 0u);
  ASSERT_EQ(data.size(), size);
  EXPECT_TRUE(data.compare(0, size - 100, Pattern(size), 0, size - 100) == 0);
  EXPECT_EQ(data.substr(size - 100), std::string(50, 'a') + std::string(50, 'b'));
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

TEST_F(Hydration, HydrateAndUpdateThroughTheProviderCalls) {
  ASSERT_EQ(MakeFile(root_, "u.bin", 9000), S_OK);
  TestProvider provider;
  provider.content[root_ + "/u.bin"] = Pattern(9000);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  Handle h = CreateFileW(W(root_ + "/u.bin").c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         INVALID_HANDLE_VALUE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // In-process hydration goes through this very process's provider.
  ASSERT_EQ(CfHydratePlaceholder(h, 0, 0x7FFFFFFFFFFFFFFF, CF_HYDRATE_FLAG_NONE, nullptr), S_OK);
  local::Client client(root_);
  local::ItemState state;
  ASSERT_EQ(client.State("u.bin", state), 0u);
  EXPECT_TRUE(state.FullyHydrated());
  // An update that changes the size and dehydrates forgets the old data.
  CF_FS_METADATA meta;
  meta.FileSize = 4096;
  const std::u16string id = u"new-id";
  ASSERT_EQ(CfUpdatePlaceholder(h, &meta, id.data(), 12, nullptr, 0,
                                CF_UPDATE_FLAG_DEHYDRATE | CF_UPDATE_FLAG_CLEAR_IN_SYNC, nullptr, nullptr),
            S_OK);
  CloseHandle(h);
  ASSERT_EQ(client.State("u.bin", state), 0u);
  EXPECT_EQ(state.size, 4096u);
  EXPECT_TRUE(state.hydrated.empty());
  EXPECT_FALSE(state.in_sync);
  EXPECT_EQ(state.identity, std::string(reinterpret_cast<const char*>(id.data()), 12));
  provider.content[root_ + "/u.bin"] = Pattern(4096, 99);
  std::string data;
  ASSERT_EQ(client.ReadAll("u.bin", data), 0u);
  EXPECT_TRUE(data == Pattern(4096, 99));
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

}  // namespace
}  // namespace corvane::platform::testing
