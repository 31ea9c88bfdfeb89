#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/engine_threads.h"
#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "engine/retry_wrappers.h"
#include "engine/task_cancel.h"
#include "common/internal_host.h"
#include "engine/task_methods.h"

namespace corvane {
namespace {

using testing::EngineHost;

class MonitorTest : public ::testing::Test, public EngineHost {
 protected:
  void TearDown() override {
    SignalEngineThreads(engine());
    JoinEngineThreads(engine());
  }
  // A task the host switched to the asynchronous mode.
  Task* AsyncTask(const std::u16string& path, int32_t type) {
    Task* task = NewTask(path, type);
    task->StartTime.store(CurrentTimeMs());
    return task;
  }
  bool Registered(int64_t task_id) {
    Task* task = nullptr;
    const bool found = engine().tasks.FindTask(task_id, true, &task) == kOk;
    if (task != nullptr) engine().tasks.ReleaseTask(task);
    return found;
  }
};

TEST_F(MonitorTest, LooksAtTasksInSlicesOfTheBatchSize) {
  for (int i = 0; i < 25000; ++i) NewTask(u"\\f" + std::u16string(1, u'a' + i % 26), OP_CREATE);
  size_t looked = 0;
  size_t cursor = RunMonitorPass(engine(), 0, 10000, &looked);
  EXPECT_EQ(10000u, looked);
  EXPECT_EQ(10000u, cursor);
  cursor = RunMonitorPass(engine(), cursor, 10000, &looked);
  EXPECT_EQ(10000u, looked);
  EXPECT_EQ(20000u, cursor);
  cursor = RunMonitorPass(engine(), cursor, 10000, &looked);
  EXPECT_EQ(5000u, looked);
  EXPECT_EQ(0u, cursor);  // starts over
  EXPECT_EQ(25000u, engine().tasks.Count());  // none was completed
}

TEST_F(MonitorTest, TaskIsLeftToItsProducerUntilItLetsGoOfTheHandler) {
  Task* update = NewTask(u"\\u.txt", OP_WRITE_DATA);
  answer = [](int32_t, const std::u16string&) { return kErrPending; };
  int32_t result = 0;
  FireUpdateWithRetry(engine(), *update, u"\\u.txt", false, 0, 0, 0, 0, 0, 0, result);
  const int64_t id = update->TaskId;
  ASSERT_EQ(kOk, CompleteTask(engine(), id, kErrBackend));
  RunMonitorPass(engine(), 0, 100);
  EXPECT_TRUE(Registered(id));
  update->StartTime.store(CurrentTimeMs());
  update->LeaveHandler();
  RunMonitorPass(engine(), 0, 100);
  EXPECT_FALSE(Registered(id));

  // Cancelled while its handler ran, before the producer gave it a start
  // time (the host then asked for a retry): the cancel left it unfinished,
  // and once the producer lets go nobody else removes it.
  Task* read = NewTask(u"\\c.bin", OP_READ_DATA);
  answer = [](int32_t event, const std::u16string&) { return event == HALVEX_EVENT_CANCEL_TASK ? kOk : kErrPending; };
  FireGetItemDataWithRetry(engine(), *read, u"\\c.bin", 0, 10, result);
  int32_t cancelled = kErrInternal;
  DoCancelTask(engine(), *read, u"\\c.bin", cancelled);
  ASSERT_EQ(kOk, cancelled);
  read->StartTime.store(CurrentTimeMs());
  read->LeaveHandler();
  const int64_t read_id = read->TaskId;
  RunMonitorPass(engine(), 0, 100);
  EXPECT_FALSE(Registered(read_id));
}

TEST_F(MonitorTest, ReadFinishedWithRetryStaysAndFiresAgainForTheSameTask) {
  engine().settings.event_retry_interval.store(100);
  Task* read = NewTask(u"\\r.bin", OP_READ_DATA);
  answer = [](int32_t, const std::u16string&) { return kErrPending; };
  int32_t result = 0;
  FireGetItemDataWithRetry(engine(), *read, u"\\r.bin", 4096, 8192, result);
  ASSERT_EQ(kErrPending, result);
  read->StartTime.store(CurrentTimeMs() - 5000);
  read->LeaveHandler();
  const int64_t id = read->TaskId;
  const int64_t old_start = read->StartTime.load();

  ASSERT_EQ(kOk, CompleteTask(engine(), id, kErrRetry));
  RunMonitorPass(engine(), 0, 100);
  ASSERT_TRUE(Registered(id));
  EXPECT_EQ(0u, read->Completed.load());
  EXPECT_GT(read->StartTime.load(), old_start);
  ASSERT_EQ(1u, RetryQueueOf(engine()).Count());

  answer = nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  RunRetryPass(engine(), u"\\root");
  auto reads = Events(HALVEX_EVENT_GET_FILE_DATA);
  ASSERT_EQ(2u, reads.size());
  EXPECT_EQ(id, reads[1].task_id);
  EXPECT_EQ(0u, RetryQueueOf(engine()).Count());
  EXPECT_TRUE(Registered(id));  // the read's producer still owns it
}

TEST_F(MonitorTest, ThreadsStopPromptlyWhenSignalled) {
  engine().settings.pending_task_timeout.store(5);
  ASSERT_TRUE(StartAsyncMonitorThread(engine()));
  ASSERT_TRUE(StartRetryQueueThread(engine()));
  ASSERT_EQ(0, StartCheckExpiredPendingTasksThread(engine()));
  EXPECT_FALSE(StartRetryQueueThread(engine()));  // one of each
  // The running monitor finishes a completed task on its own.
  Task* create = AsyncTask(u"\\c.txt", OP_CREATE);
  const int64_t id = create->TaskId;
  ASSERT_EQ(kOk, CompleteTask(engine(), id, kErrBackend));
  for (int i = 0; i < 30 && Registered(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(Registered(id));

  const auto start = std::chrono::steady_clock::now();
  SignalEngineThreads(engine());
  JoinEngineThreads(engine());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace corvane
