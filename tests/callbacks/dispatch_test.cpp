#include <future>

#include "callbacks/callback_entries.h"
#include "callbacks/callback_fixture.h"
#include "platform/files.h"
#include "support/utf.h"

namespace corvane::testing {
namespace {

using platform::ERROR_CLOUD_FILE_REQUEST_TIMEOUT;

class Dispatch : public CallbackTest {
 protected:
  // Supplies `size` bytes of the pattern inside the handler.
  void ServeInline() {
    on_get_file_data = [this](const GetFileDataCall& c) {
      Put(c.task_id, Pattern(static_cast<size_t>(c.offset + c.length)).substr(c.offset), 65536);
      do_FinalizeTask(engine(), c.task_id, 0);
      return kOk;
    };
  }

  // Two reads at once; the most handlers that ran together.
  int RunTwoReads(const std::u16string& one, const std::u16string& two) {
    MakePlaceholder(one, 5000);
    MakePlaceholder(two, 5000);
    std::atomic<int> in_flight{0}, most{0};
    on_get_file_data = [&](const GetFileDataCall& c) {
      const int now = ++in_flight;
      most.store(std::max(most.load(), now));
      // Waits a while for the other handler to come in alongside.
      WaitUntil([&] { return in_flight.load() == 2; }, 1500);
      Put(c.task_id, Pattern(5000), 5000);
      do_FinalizeTask(engine(), c.task_id, 0);
      --in_flight;
      return kOk;
    };
    std::string a, b;
    auto first = std::async(std::launch::async, [&] { return Read(Utf16ToUtf8Lossy(one), a); });
    auto second = std::async(std::launch::async, [&] { return Read(Utf16ToUtf8Lossy(two), b); });
    EXPECT_EQ(0u, first.get());
    EXPECT_EQ(0u, second.get());
    return most.load();
  }

  // A callback as the platform would deliver it for an item of the root.
  void Deliver(platform::CF_CALLBACK callback, const std::u16string& name, uint32_t flags) {
    RootConnection connection;
    connection.callback_context = &engine();
    const std::u16string path = root_path_ + u"\\" + name;
    platform::CF_CALLBACK_INFO info;
    info.CallbackContext = &connection;
    info.NormalizedPath = path.c_str();
    platform::CF_CALLBACK_PARAMETERS params{};
    params.CloseCompletion.Flags = flags;
    callback(&info, &params);
  }
};

TEST_F(Dispatch, RelativePathsStayInsideTheRoot) {
  std::u16string rel;
  EXPECT_EQ(kOk, CallbackRelativePath(engine(), root_path_ + u"\\dir\\x.txt", rel));
  EXPECT_EQ(u"\\dir\\x.txt", rel);
  std::u16string upper = root_path_;
  for (auto& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  EXPECT_EQ(kOk, CallbackRelativePath(engine(), upper + u"\\y", rel));
  EXPECT_EQ(u"\\y", rel);
  for (const std::u16string& outside : {root_path_, root_path_ + u"\\", root_path_ + u"2\\x", std::u16string(u"\\x")}) {
    EXPECT_EQ(kErrInvalidParameter, CallbackRelativePath(engine(), outside, rel));
    EXPECT_TRUE(rel.empty());
  }
  EXPECT_TRUE(Logged("Failed to get relative path for '"));
}

TEST_F(Dispatch, CallbacksWhileDeactivatingAreRefusedAtOnceAndNotHandled) {
  MakePlaceholder(u"d.bin", 100);
  Connect();
  engine().state.deactivating.store(1);
  // Unanswered, the read would end at this limit with a timeout.
  platform::local::SetRequestTimeoutMs(30000);
  std::string data;
  EXPECT_EQ(platform::ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, Read("d.bin", data));
  EXPECT_TRUE(Events(HALVEX_EVENT_GET_FILE_DATA).empty());
  EXPECT_FALSE(Logged("Placeholder callback fired"));
  EXPECT_EQ(0, engine().PendingOperationCount());

  // Still starting counts as running.
  platform::local::SetRequestTimeoutMs(0);
  engine().state.deactivating.store(0);
  engine().state.active.store(0);
  engine().state.activating.store(1);
  ServeInline();
  EXPECT_EQ(0u, Read("d.bin", data));
  engine().state.activating.store(0);
}

TEST_F(Dispatch, SerializeEventsRunsHandlersOneAtATime) {
  Connect();
  EXPECT_EQ(2, RunTwoReads(u"a.bin", u"b.bin"));
  // As an initialisation with SerializeEvents on would set it up.
  engine().settings.serialize_events.store(1);
  engine().event_lock = MakeOwned<Mutex>();
  EXPECT_EQ(1, RunTwoReads(u"c.bin", u"d.bin"));
  EXPECT_TRUE(Logged("Acquired critical section to process callback in SerializeEvents mode for '"));
}

TEST_F(Dispatch, CancelReachesARunningFetchEvenWhenSerialized) {
  MakePlaceholder(u"c.bin", 100);
  Connect();
  engine().settings.serialize_events.store(1);
  engine().event_lock = MakeOwned<Mutex>();
  platform::local::SetRequestTimeoutMs(300);
  std::atomic<int32_t> late_put{0};
  on_get_file_data = [&](const GetFileDataCall& c) {
    // The handler keeps EventLock until the reader gave up and the cancel came.
    WaitUntil([&] { return host_.Count(HALVEX_EVENT_CANCEL_TASK) > 0; });
    const uint8_t byte = 1;
    late_put = do_PutItemData(engine(), c.task_id, &byte, 1, 0, 1);
    return kOk;
  };
  std::string data;
  EXPECT_EQ(ERROR_CLOUD_FILE_REQUEST_TIMEOUT, Read("c.bin", data));
  ASSERT_TRUE(WaitUntil([&] { return ErrorCount() == 1; }));
  EXPECT_EQ(kErrCancelled, Events(HALVEX_EVENT_ERROR)[0].code);
  EXPECT_EQ(kErrCancelled, late_put.load());
  ASSERT_EQ(1u, host_.Count(HALVEX_EVENT_CANCEL_TASK));
  EXPECT_EQ(Events(HALVEX_EVENT_GET_FILE_DATA)[0].task_id, Events(HALVEX_EVENT_CANCEL_TASK)[0].task_id);
  EXPECT_TRUE(Logged("Fetch operation cancelled while waiting for GetItemData handler to return"));
  EXPECT_TRUE(WaitUntil([&] { return engine().PendingOperationCount() == 0; }));

  // A cancel of a fetch nobody runs is dropped without a word.
  Deliver(ProviderCallbackEntries().cancel_fetch_data, u"c.bin", 0);
  EXPECT_EQ(1u, ErrorCount());
  EXPECT_EQ(1u, host_.Count(HALVEX_EVENT_CANCEL_TASK));
}

TEST_F(Dispatch, OnlineOnlyDehydratesAfterTheLastCloseOnly) {
  MakePlaceholder(u"o.bin", 100);
  engine().settings.online_only.store(true);
  Connect(true);
  const std::u16string path = root_path_ + u"\\o.bin";
  auto open = [&] {
    return platform::CreateFileW(path.c_str(), platform::GENERIC_READ, 1, nullptr, platform::OPEN_EXISTING, 0,
                                 platform::INVALID_HANDLE_VALUE);
  };
  const platform::Handle first = open();
  const platform::Handle second = open();
  ASSERT_NE(platform::INVALID_HANDLE_VALUE, first);
  ASSERT_NE(platform::INVALID_HANDLE_VALUE, second);
  ASSERT_TRUE(WaitUntil([&] { return engine().open_files->Count(u"\\o.bin") == 2; }));
  platform::CloseHandle(first);
  ASSERT_TRUE(WaitUntil([&] { return engine().open_files->Count(u"\\o.bin") == 1; }));
  EXPECT_FALSE(Logged("Dehydrating placeholder because online only mode is on"));
  platform::CloseHandle(second);
  EXPECT_TRUE(WaitUntil([&] { return Logged("Dehydrating placeholder because online only mode is on: '"); }));
  EXPECT_EQ(0, engine().open_files->Count(u"\\o.bin"));

  // A deleted file is not dehydrated; a close never counted changes nothing.
  Disconnect();
  host_.ClearLogs();
  Deliver(ProviderCallbackEntries().open_completion, u"gone.bin", 0);
  Deliver(ProviderCallbackEntries().close_completion, u"gone.bin", platform::CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED);
  Deliver(ProviderCallbackEntries().close_completion, u"never.bin", 0);
  EXPECT_EQ(0, engine().open_files->Count(u"\\gone.bin"));
  EXPECT_FALSE(Logged("Dehydrating placeholder"));
  EXPECT_TRUE(Logged("Close callback fired for '"));
}

TEST_F(Dispatch, DehydrationIsAcknowledgedAndReportedAsReset) {
  MakePlaceholder(u"h.bin", 5000);
  Connect();
  ServeInline();
  platform::local::Client client(root_.path());
  std::string data;
  ASSERT_EQ(0u, Read("h.bin", data));
  ASSERT_EQ(0u, client.Dehydrate("h.bin"));
  platform::local::ItemState state;
  ASSERT_EQ(0u, client.State("h.bin", state));
  EXPECT_FALSE(state.FullyHydrated());
  ASSERT_TRUE(WaitUntil([&] { return host_.Count(HALVEX_EVENT_RESET_FILE, "\\h.bin") == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return engine().PendingOperationCount() == 0; }));
  EXPECT_EQ(0u, ErrorCount());
}

}  // namespace
}  // namespace corvane::testing
