#include <fcntl.h>
#include <unistd.h>

#include <future>

#include "callbacks/callback_dispatch.h"
#include "callbacks/callback_fixture.h"
#include "callbacks/fetch_data.h"
#include "engine/task.h"
#include "platform/error_mark.h"
#include "platform/local/connection.h"

namespace corvane::testing {
namespace {

using platform::ERROR_CLOUD_FILE_ACCESS_DENIED;
using platform::ERROR_CLOUD_FILE_REQUEST_ABORTED;
using platform::ERROR_CLOUD_FILE_REQUEST_TIMEOUT;
using platform::ERROR_CLOUD_FILE_UNSUCCESSFUL;

class FetchData : public CallbackTest {};

TEST_F(FetchData, AsynchronousHostSendsWholeChunksAtOnceAndTheRestAtFinalize) {
  MakePlaceholder(u"big.bin", 1500000);
  Connect();
  // A read from the middle: the request, and its progress, start there.
  const std::string all = Pattern(1500000);
  const std::string rest = all.substr(409600);
  std::promise<int64_t> asked;
  on_get_file_data = [&](const GetFileDataCall& call) {
    asked.set_value(call.task_id);
    return kErrPending;
  };
  std::string data;
  auto reader = std::async(std::launch::async, [&] {
    platform::local::Client client(root_.path());
    return client.Read("big.bin", 409600, rest.size(), data);
  });
  const int64_t task_id = asked.get_future().get();
  ASSERT_TRUE(WaitUntil([&] { return Logged("GetItemData fired in async mode"); }));
  struct Taker : DeferredExecutor {
    bool Enqueue(std::unique_ptr<ExecuteRequest>&) override { return ++offered, false; }
    int offered = 0;
  } watcher;
  engine().placeholder_manager->SetDeferredExecutor(&watcher);

  // A small piece waits; the next call first completes its chunk, then its
  // whole pages leave at once from the host's buffer, and the tail short
  // of a page waits for the finalize.
  ASSERT_EQ(kOk, Put(task_id, rest.substr(0, 1000), 1000));
  ASSERT_EQ(kOk, Put(task_id, rest.substr(1000), rest.size() - 1000));
  Task* task = nullptr;
  ASSERT_EQ(kOk, engine().tasks.FindTask(task_id, false, &task));
  auto* context = static_cast<CallbackTaskContext*>(task->Context);
  EXPECT_EQ(409600 + 409600 + 679936, context->sent_to.load());
  EXPECT_EQ(864u, task->Transfer->Size());
  // What was sent is in the file when the host's call returns: it went from
  // the host's buffer in the host's call, with no copy left to the watcher.
  EXPECT_EQ(0, watcher.offered);
  const int fd = open((root_.path() + "/big.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string written(409600 + 679936, '\0');
  ASSERT_EQ(static_cast<ssize_t>(written.size()), pread(fd, written.data(), written.size(), 409600));
  EXPECT_TRUE(written == rest.substr(0, written.size()));
  // The platform hears how much of this request is done, not where it is.
  int64_t total = 0, completed = 0;
  EXPECT_TRUE(platform::local::LoadProgress(fd, total, completed));
  close(fd);
  EXPECT_EQ(static_cast<int64_t>(rest.size()), total);
  EXPECT_EQ(409600 + 679936, completed);

  // What the async monitor does once the host finalizes.
  ASSERT_EQ(kOk, do_FinalizeTask(engine(), task_id, 0));
  EXPECT_EQ(1u, task->Completed.load());
  EXPECT_EQ(kOk, FlushTransfer(engine(), *task, true));
  EXPECT_EQ(1500000, context->sent_to.load());
  engine().placeholder_manager->SetDeferredExecutor(nullptr);
  EXPECT_EQ(0, watcher.offered);
  ReleaseFetchContext(engine(), *task);
  engine().tasks.RemoveTask(task, task_id, true);

  ASSERT_EQ(0u, reader.get());
  EXPECT_TRUE(data == rest);
  EXPECT_EQ(0, engine().PendingOperationCount());
}

TEST_F(FetchData, FailedFetchesAnswerWithTheMappedStatusAndRaiseError) {
  MakePlaceholder(u"a.bin", 5000);
  Connect();
  struct Case {
    std::function<int32_t(const GetFileDataCall&)> handler;
    platform::DWORD read_error;
    int32_t code;
  };
  const std::vector<Case> cases = {
      // Returned 0 but supplied nothing.
      {[](const GetFileDataCall&) { return kOk; }, ERROR_CLOUD_FILE_REQUEST_ABORTED, kErrNoData},
      // Supplied data but never finalized.
      {[&](const GetFileDataCall& c) {
         Put(c.task_id, Pattern(100), 100);
         return kOk;
       },
       ERROR_CLOUD_FILE_REQUEST_ABORTED, kErrNoData},
      // Finalized without any data.
      {[&](const GetFileDataCall& c) { return do_FinalizeTask(engine(), c.task_id, 0); },
       ERROR_CLOUD_FILE_REQUEST_ABORTED, kErrNoData},
      // Finalized with the host's own failure.
      {[&](const GetFileDataCall& c) {
         do_FinalizeTask(engine(), c.task_id, kErrOperationDenied);
         return kOk;
       },
       ERROR_CLOUD_FILE_ACCESS_DENIED, kErrOperationDenied},
      {[](const GetFileDataCall&) { return kErrOperationDenied; }, ERROR_CLOUD_FILE_ACCESS_DENIED,
       kErrOperationDenied},
      {[](const GetFileDataCall&) { return 5; }, ERROR_CLOUD_FILE_UNSUCCESSFUL, 5},
  };
  engine().settings.event_retry_interval.store(0);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    host_.Clear();
    on_get_file_data = cases[i].handler;
    std::string data;
    EXPECT_EQ(cases[i].read_error, Read("a.bin", data));
    // The platform hears first; the host's Error follows.
    ASSERT_TRUE(WaitUntil([&] { return ErrorCount() == 1; }));
    EXPECT_EQ(cases[i].code, Events(HALVEX_EVENT_ERROR)[0].code);
    ASSERT_TRUE(WaitUntil([&] { return engine().PendingOperationCount() == 0; }));
  }
  EXPECT_TRUE(Logged("PutItemData or FinalizeTask was not called from GetItemData event handler"));
  EXPECT_TRUE(Logged("Placeholder callback failed for '"));
}

TEST_F(FetchData, ErrorMarkFollowsTheLastFetchWhenEnabled) {
  MakePlaceholder(u"m.bin", 100);
  engine().settings.windows_update_icon_on_retrieve_errors.store(true);
  Connect();
  const std::u16string full = root_path_ + u"\\m.bin";
  on_get_file_data = [](const GetFileDataCall&) { return kErrOperationDenied; };
  std::string data;
  EXPECT_NE(0u, Read("m.bin", data));
  bool marked = false;
  EXPECT_TRUE(WaitUntil([&] { return platform::GetLastSyncErrorMark(full, marked) == platform::S_OK && marked; }));

  on_get_file_data = [&](const GetFileDataCall& c) {
    Put(c.task_id, Pattern(100), 100);
    do_FinalizeTask(engine(), c.task_id, 0);
    return kOk;
  };
  EXPECT_EQ(0u, Read("m.bin", data));
  EXPECT_TRUE(WaitUntil([&] { return platform::GetLastSyncErrorMark(full, marked) == platform::S_OK && !marked; }));
  // An item that is gone cannot carry the mark.
  const platform::HRESULT gone = platform::HRESULT_FROM_WIN32(platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(gone, platform::SetLastSyncErrorMark(root_path_ + u"\\gone.bin", true));
  EXPECT_EQ(gone, platform::GetLastSyncErrorMark(root_path_ + u"\\gone.bin", marked));
}

TEST_F(FetchData, PutItemDataRefusesWhatIsNotARunningFetch) {
  Task* listing = engine().tasks.CreateTask(u"\\dir", OP_LIST, nullptr);
  engine().tasks.RegisterTask(listing);
  const uint8_t byte = 1;
  EXPECT_EQ(kErrInvalidParameter, do_PutItemData(engine(), listing->TaskId, &byte, 1, 0, 1));
  EXPECT_EQ(kErrInvalidOpId, do_PutItemData(engine(), listing->TaskId + 100, &byte, 1, 0, 1));
  engine().tasks.RemoveTask(listing, listing->TaskId, false);
}

}  // namespace
}  // namespace corvane::testing
