// Hosts whose handlers misbehave: they throw, keep answering retry, call the
// component back from inside the event, or take their time.
#include <stdexcept>

#include "faults/faults_fixture.h"

namespace corvane::faults {
namespace {

using platform::ERROR_CLOUD_FILE_UNSUCCESSFUL;

// Whatever a handler throws, the read fails promptly with the host-failure
// code, the event is reported, and the component keeps serving.
TEST_F(FaultsTest, ThrowingHandlersFailTheirRequestOnly) {
  Start();
  AddFile("thrown.bin", 900000, 1);
  const std::vector<std::function<int32_t(FaultHost&, const Request&, int32_t&)>> throwers = {
      [](FaultHost&, const Request&, int32_t&) -> int32_t { throw std::runtime_error("backend down"); },
      [](FaultHost&, const Request&, int32_t&) -> int32_t { throw 42; },
      // Part of the data first: whatever landed must be the host's bytes.
      [](FaultHost& host, const Request& r, int32_t&) -> int32_t {
        const std::string bytes = host.Remote("thrown.bin").substr(0, 409600);
        host.Put(r.task_id, bytes.data(), bytes.size());
        throw std::logic_error("half way");
      },
  };
  for (size_t i = 0; i < throwers.size(); ++i) {
    host_->on_fetch = throwers[i];
    const size_t errors = host_->Events(HALVEX_EVENT_ERROR).size();
    const auto start = std::chrono::steady_clock::now();
    std::string data;
    EXPECT_EQ(client_.ReadAll("thrown.bin", data), ERROR_CLOUD_FILE_UNSUCCESSFUL) << "thrower " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(host_->WaitFor(HALVEX_EVENT_ERROR, errors + 1, 5s)) << "no Error event for thrower " << i;
    ExpectNoFalseData("thrown.bin");
  }
  EXPECT_EQ(host_->QueryNumber("StatPendingTasks"), 0);

  // A throwing listing leaves the folder to be asked again, not empty for good.
  ASSERT_EQ(host_->CreateFolder("\\dir"), 0);
  host_->on_list = [](FaultHost&, int64_t, const std::string&) -> int32_t { throw std::runtime_error("no"); };
  std::vector<platform::local::ClientEntry> entries;
  client_.List("dir", entries);
  EXPECT_TRUE(entries.empty());
  host_->on_list = [](FaultHost& host, int64_t task, const std::string&) { return host.ListFile(task, "late.txt", 10); };
  ASSERT_EQ(client_.List("dir", entries), 0u);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "late.txt");

  host_->on_fetch = [](FaultHost& host, const Request& r, int32_t&) {
    return host.Supply(r.task_id, r.path, r.offset, r.length);
  };
  std::string data;
  ASSERT_EQ(client_.ReadAll("thrown.bin", data), 0u);
  EXPECT_TRUE(data == host_->Remote("thrown.bin"));
}

// A host whose every other handler throws (Log, Error, CancelTask, the
// change events): the library carries on and reads are served. A CancelTask
// that throws refuses the cancel, so Deactivate fails with a code; the
// provider then stays whole (its monitors too) until a Deactivate succeeds.
TEST_F(FaultsTest, HostThatThrowsFromEveryOtherEventIsSurvived) {
  Start({"LogLevel=4", "PendingTaskTimeout=1"});
  host_->throw_from_other_events = true;
  AddFile("served.bin", 500000, 9);
  std::string data;
  ASSERT_EQ(client_.ReadAll("served.bin", data), 0u);
  EXPECT_TRUE(data == host_->Remote("served.bin"));
  EXPECT_EQ(client_.CreateFile("local.txt", "local"), 0u);  // a change event that throws

  // A read left pending when Deactivate comes.
  AddFile("pending.bin", 5000, 10);
  std::vector<std::thread> later;
  host_->on_fetch = [&](FaultHost& host, const Request& r, int32_t& answer) {
    if (r.path == "\\served-later.bin") {
      later.emplace_back([&host, r] { host.Supply(r.task_id, r.path, r.offset, r.length); });
    }
    answer = HALVEX_ERR_PENDING;
    return 0;
  };
  auto pending = ReadAsync("pending.bin");
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_GET_FILE_DATA, 2));
  EXPECT_NE(host_->Deactivate(), 0) << "a refused cancel was reported as a deactivation";
  EXPECT_GT(host_->thrown_events.load(), 0);

  // Still active and whole: an asynchronous answer needs the monitor.
  AddFile("served-later.bin", 5000, 11);
  EXPECT_EQ(client_.ReadAll("served-later.bin", data), 0u);
  for (std::thread& t : later) t.join();

  host_->throw_from_other_events = false;
  EXPECT_EQ(host_->Deactivate(), 0);
  ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
  EXPECT_NE(pending.get(), 0u);
  EXPECT_EQ(host_->Activate(true), 0) << "a throwing host left the root unusable";
}

// A host that finalizes a read as done without sending a byte, inside the
// event or later: the reader fails at once, not at the platform's limit.
TEST_F(FaultsTest, FinalizedWithoutDataFailsTheReadAtOnce) {
  Start();
  AddFile("empty-answer.bin", 100000, 8);
  std::vector<std::thread> later;
  for (bool inside : {true, false}) {
    SCOPED_TRACE(inside ? "inside the event" : "from another thread");
    host_->on_fetch = [&, inside](FaultHost& host, const Request& r, int32_t& answer) -> int32_t {
      if (inside) return host.Finalize(r.task_id, 0);
      later.emplace_back([&host, id = r.task_id] {
        std::this_thread::sleep_for(50ms);
        host.Finalize(id, 0);
      });
      answer = HALVEX_ERR_PENDING;
      return 0;
    };
    const auto start = std::chrono::steady_clock::now();
    std::string data;
    EXPECT_NE(client_.ReadAll("empty-answer.bin", data), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ExpectNoFalseData("empty-answer.bin");
  }
  for (std::thread& t : later) t.join();
}

// A host that answers pending and never finishes, with no expiry set: the
// read ends at the platform's limit, and the platform's cancel frees the task.
TEST_F(FaultsTest, PendingForEverEndsAtThePlatformLimit) {
  Start();
  platform::local::SetRequestTimeoutMs(800);
  AddFile("never.bin", 100000, 12);
  host_->on_fetch = [](FaultHost&, const Request&, int32_t& answer) {
    answer = HALVEX_ERR_PENDING;
    return 0;
  };
  const auto start = std::chrono::steady_clock::now();
  std::string data;
  EXPECT_NE(client_.ReadAll("never.bin", data), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_CANCEL_TASK, 1, 5s)) << "the host was not told the request is gone";
  const auto idle = std::chrono::steady_clock::now() + 3s;
  while (host_->QueryNumber("PendingOperationCount") != 0 && std::chrono::steady_clock::now() < idle)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(host_->QueryNumber("PendingOperationCount"), 0) << "the abandoned task stayed";
}

// A host that answers retry for ever is asked again at the retry interval,
// not in a busy loop; the application gives up at the platform's limit, the
// request does not pile up, and Deactivate is still quick.
TEST_F(FaultsTest, RetryForEverIsPacedAndBounded) {
  Start({"EventRetryInterval=100"});
  platform::local::SetRequestTimeoutMs(1500);
  AddFile("retry.bin", 100000, 2);
  host_->on_fetch = [](FaultHost&, const Request&, int32_t& answer) {
    answer = HALVEX_ERR_RETRY;
    return 0;
  };
  const auto start = std::chrono::steady_clock::now();
  std::string data;
  EXPECT_NE(client_.ReadAll("retry.bin", data), 0u);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 6s) << "the read outlived the platform's limit";
  EXPECT_TRUE(data.empty());

  // Over the next second the library may keep asking, but paced.
  const size_t asked = host_->Events(HALVEX_EVENT_GET_FILE_DATA).size();
  std::this_thread::sleep_for(1s);
  const size_t asked_later = host_->Events(HALVEX_EVENT_GET_FILE_DATA).size();
  EXPECT_LE(asked, 40u) << "asked " << asked << " times in " << took / 1ms << " ms";
  EXPECT_LE(asked_later - asked, 15u);
  EXPECT_LE(host_->QueryNumber("StatPendingTasks"), 1);
  ExpectNoFalseData("retry.bin");

  // The same for a folder listing.
  ASSERT_EQ(host_->CreateFolder("\\dir"), 0);
  std::atomic<int> lists{0};
  host_->on_list = [&](FaultHost&, int64_t, const std::string&) {
    ++lists;
    return HALVEX_ERR_RETRY;
  };
  const auto list_start = std::chrono::steady_clock::now();
  std::vector<platform::local::ClientEntry> entries;
  client_.List("dir", entries);
  EXPECT_LT(std::chrono::steady_clock::now() - list_start, 6s);
  EXPECT_TRUE(entries.empty());
  EXPECT_LE(lists.load(), 40);
  // The folder deleted by the host: the listing still queued is dropped,
  // or a rename above would lead it to a folder the host does not have.
  ASSERT_EQ(host_->Call(HALVEX_METHOD_DELETE_FOLDER, {Ptr("\\dir"), 1}), 0) << host_->LastError();
  std::this_thread::sleep_for(300ms);
  const int lists_after_delete = lists.load();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(lists.load(), lists_after_delete);

  const auto stop = std::chrono::steady_clock::now();
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 3s);
}

// Handlers that call methods of the same component from inside the event,
// with and without serialized events, finish without a deadlock.
TEST_F(FaultsTest, HandlersMayCallTheComponentBack) {
  for (bool serialize : {false, true}) {
    SCOPED_TRACE(serialize ? "serialized" : "parallel");
    Start({std::string("SerializeEvents=") + (serialize ? "true" : "false")});
    AddFile("outer.bin", 500000, 3);
    std::atomic<int> nested_failures{0};
    host_->on_fetch = [&](FaultHost& host, const Request& r, int32_t&) {
      const intptr_t path = reinterpret_cast<intptr_t>(r.path.c_str());
      if (r.path == "\\outer.bin") {
        if (host.Call(HALVEX_METHOD_GET_FILE_STATUS, {path, 0}) != 0) ++nested_failures;
        if (host.Call(HALVEX_METHOD_GET_FILE_ATTRIBUTES, {path, 0}) != 0) ++nested_failures;
        if (host.AddRemoteFile("made-inside.bin", RemoteBytes(5000, 4)) != 0) ++nested_failures;
        if (host.QueryNumber("PendingOperationCount") < 1) ++nested_failures;
      }
      return host.Supply(r.task_id, r.path, r.offset, r.length);
    };
    auto read = ReadAsync("outer.bin");
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "deadlock inside the handler";
    EXPECT_EQ(read.get(), 0u);
    EXPECT_EQ(nested_failures.load(), 0);

    // A listing handler that changes the folder it lists, then lists.
    ASSERT_EQ(host_->CreateFolder("\\dir"), 0);
    host_->on_list = [&](FaultHost& host, int64_t task, const std::string& folder) {
      if (host.CreateFile(folder + "\\made-by-list.txt", 3) != 0) ++nested_failures;
      return host.ListFile(task, "listed.txt", 4);
    };
    auto listing = std::async(std::launch::async, [&] {
      std::vector<platform::local::ClientEntry> entries;
      client_.List("dir", entries);
      return entries.size();
    });
    ASSERT_EQ(listing.wait_for(10s), std::future_status::ready) << "deadlock inside the listing handler";
    EXPECT_EQ(listing.get(), 2u);
    EXPECT_EQ(nested_failures.load(), 0);

    // Reading the file the handler made is a second event inside none.
    std::string data;
    EXPECT_EQ(client_.ReadAll("made-inside.bin", data), 0u);

    // Stopping from inside the handler: disconnecting waits for this very
    // callback, so it is refused with a code, and the request is served.
    AddFile("stop.bin", 100000, 5);
    std::atomic<int32_t> deactivated{-1}, uninstalled{-1};
    std::string refusal;
    host_->on_fetch = [&](FaultHost& host, const Request& r, int32_t&) {
      deactivated = host.Deactivate();
      refusal = host.LastError();
      uninstalled = host.Call(HALVEX_METHOD_UNINSTALL, {});
      return host.Supply(r.task_id, r.path, r.offset, r.length);
    };
    auto stopped = ReadAsync("stop.bin");
    ASSERT_EQ(stopped.wait_for(15s), std::future_status::ready) << "Deactivate inside the handler hangs";
    EXPECT_EQ(stopped.get(), 0u);
    EXPECT_EQ(deactivated.load(), HALVEX_ERR_OPERATION_DENIED);
    EXPECT_EQ(uninstalled.load(), HALVEX_ERR_OPERATION_DENIED);
    EXPECT_FALSE(refusal.empty());
    EXPECT_EQ(host_->Deactivate(), 0);
    host_.reset();
    std::filesystem::remove_all(space_.root());
    std::filesystem::create_directories(space_.root());
  }
}

// A slow host that keeps sending gets its read done past the platform's
// limit; one that says nothing past the limit fails the read, and its late
// data is refused rather than written into a file nobody waits for.
TEST_F(FaultsTest, SlowHostsFinishOrAreRefusedCleanly) {
  Start();
  platform::local::SetRequestTimeoutMs(800);
  AddFile("slow.bin", 5 * 409600 + 77, 6);
  host_->on_fetch = [](FaultHost& host, const Request& r, int32_t&) {
    return host.Supply(r.task_id, r.path, r.offset, r.length, true, 350ms);
  };
  std::string data;
  ASSERT_EQ(client_.ReadAll("slow.bin", data), 0u);
  EXPECT_TRUE(data == host_->Remote("slow.bin"));

  AddFile("late.bin", 300000, 7);
  std::atomic<int32_t> late_put{-1};
  host_->on_fetch = [&](FaultHost& host, const Request& r, int32_t&) {
    std::this_thread::sleep_for(1500ms);
    const std::string bytes = host.Remote("late.bin");
    late_put = host.Put(r.task_id, bytes.data(), bytes.size());
    return 0;
  };
  std::string nothing;
  EXPECT_NE(client_.ReadAll("late.bin", nothing), 0u);
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_GET_FILE_DATA, 2));
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (late_put == -1 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
  EXPECT_NE(late_put.load(), -1) << "the slow handler never returned";
  ExpectNoFalseData("late.bin");
  EXPECT_EQ(host_->QueryNumber("StatPendingTasks"), 0);
}

}  // namespace
}  // namespace corvane::faults
