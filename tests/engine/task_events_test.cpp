#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "component/method_layer.h"
#include "common/internal_host.h"
#include "diag/capture_sink.h"
#include "diag/result_codes.h"
#include "engine/event_bridges.h"
#include "engine/task_cancel.h"

namespace corvane {
namespace {

using testing::Int64At;
using testing::TestHost;
using testing::WideAt;

struct Fired {
  int32_t id;
  int64_t task_id;
  std::u16string path;
};

class TaskEventsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetCurrentLogLevel(kLogVerbose); }
  void TearDown() override { engine().state.active.store(0); }

  Engine& engine() { return host.c().engine; }

  Task* NewTask(const std::u16string& path, int32_t type) {
    Task* task = engine().tasks.CreateTask(path, type, nullptr);
    engine().tasks.RegisterTask(task);
    return task;
  }

  bool Logged(const std::u16string& line) {
    for (const auto& l : logs)
      if (l.find(line) != std::u16string::npos) return true;
    return false;
  }

  testing::LogLevelGuard level_guard;
  std::vector<Fired> fired;
  std::vector<std::u16string> logs;
  // Answers one event: may write the ResultCode slot; returns the sink's result.
  std::function<int32_t(int32_t id, int32_t count, intptr_t* p)> answer;
  TestHost host{true, [this](int32_t id, int32_t count, intptr_t* p, int32_t*) -> int32_t {
                  if (id == HALVEX_EVENT_LOG) {
                    logs.push_back(WideAt(p, 1));
                    return 0;
                  }
                  if (id == HALVEX_EVENT_ERROR) return 0;
                  fired.push_back({id, Int64At(p, 0), WideAt(p, 1)});
                  return answer ? answer(id, count, p) : 0;
                }};
};

TEST_F(TaskEventsTest, BridgesFireWithTheTaskAndHoldItsHandlerLock) {
  Task* task = NewTask(u"\\a.txt", OP_CREATE);
  answer = [](int32_t, int32_t count, intptr_t* p) {
    p[count - 1] = kErrPending;
    return 0;
  };
  int32_t result = 0;
  EXPECT_EQ(1, DoCreate(engine(), *task, u"\\a.txt", false, 0, 10, 1, 2, 3, result));
  EXPECT_EQ(kErrPending, result);
  ASSERT_EQ(1u, fired.size());
  EXPECT_EQ(HALVEX_EVENT_CREATE_FILE, fired[0].id);
  EXPECT_EQ(task->TaskId, fired[0].task_id);
  EXPECT_TRUE(Logged(u"'Create' event handler switched to the asynchronous mode for '\\a.txt'"));

  // The producer keeps HandlerLock until it lets go of it.
  EXPECT_EQ(1u, task->HandlerBusy.load());
  bool locked_elsewhere = true;
  std::thread([&] {
    const bool locked = task->HandlerLock.TryLock();
    if (locked) task->HandlerLock.Unlock();
    locked_elsewhere = locked;
  }).join();
  EXPECT_FALSE(locked_elsewhere);
  task->LeaveHandler();
  EXPECT_EQ(0u, task->HandlerBusy.load());
}

TEST_F(TaskEventsTest, EventErrorOrFailingSinkReplacesTheAnswer) {
  Task* task = NewTask(u"\\b", OP_DELETE);
  struct Case {
    int32_t event_error;  // set by the handler; 0 for none
    int32_t sink_result;
    int32_t expected;
  };
  for (const Case& c : {Case{-1, 0, kErrInternalError}, Case{7, 0, 7}, Case{0, 5, 5}, Case{0, 0, 0}}) {
    answer = [&](int32_t, int32_t, intptr_t*) {
      if (c.event_error != 0) engine().diag.SetEventError(c.event_error, "from handler");
      return c.sink_result;
    };
    int32_t result = 0;
    DoDelete(engine(), *task, u"\\b", false, 0, result);
    task->LeaveHandler();
    EXPECT_EQ(c.expected, result) << c.event_error << "/" << c.sink_result;
  }
  EXPECT_TRUE(Logged(u"'Delete' event handler failed for '\\b'"));
  EXPECT_TRUE(Logged(u"Event handler error code: 0x54f"));
  EXPECT_EQ(0u, task->HandlerBusy.load());
}

TEST_F(TaskEventsTest, CancelTaskAnsweredCancelledCountsAsSuccess) {
  Task* task = NewTask(u"\\e", OP_READ_DATA);
  task->StartTime.store(CurrentTimeMs());
  answer = [](int32_t, int32_t count, intptr_t* p) {
    p[count - 1] = kErrCancelled;
    return 0;
  };
  int32_t result = -1;
  EXPECT_EQ(1, DoCancelTask(engine(), *task, task->Path, result));
  EXPECT_EQ(0, result);
  EXPECT_EQ(HALVEX_EVENT_CANCEL_TASK, fired.back().id);
  EXPECT_EQ(1u, task->Cancelled.load());
  EXPECT_EQ(1u, task->Completed.load());  // asynchronous: the monitor finishes it
  Task* found = nullptr;
  EXPECT_EQ(kErrCancelled, engine().tasks.FindTask(task->TaskId, false, &found));
  // Already cancelled: the host is not asked again.
  DoCancelTask(engine(), *task, task->Path, result);
  EXPECT_EQ(1u, fired.size());

  // A refusing or failing handler leaves the task as it was.
  for (bool through_event_error : {false, true}) {
    Task* other = NewTask(u"\\f", OP_CREATE);
    answer = [&](int32_t, int32_t count, intptr_t* p) {
      if (through_event_error) return 5;
      p[count - 1] = kErrBackend;
      return 0;
    };
    DoCancelTask(engine(), *other, other->Path, result);
    EXPECT_EQ(through_event_error ? 5 : kErrBackend, result);
    EXPECT_EQ(0u, other->Cancelled.load());
    EXPECT_EQ(0u, other->Completed.load());
  }

  // Internal listings are cancelled without asking the host.
  Task* listing = NewTask(u"\\g", OP_INTERNAL_LIST);
  const size_t before = fired.size();
  DoCancelTask(engine(), *listing, listing->Path, result);
  EXPECT_EQ(before, fired.size());
  EXPECT_EQ(1u, listing->Cancelled.load());
}

TEST_F(TaskEventsTest, CancelByPathTriesTypesInOrderAndStopsAtTheFirstRefusal) {
  Task* rename = NewTask(u"\\h", OP_RENAME);
  Task* create = NewTask(u"\\h", OP_CREATE);
  Task* read = NewTask(u"\\h", OP_READ_DATA);
  Task* del = NewTask(u"\\h", OP_DELETE);
  NewTask(u"\\other", OP_RENAME);
  answer = [&](int32_t, int32_t count, intptr_t* p) {
    if (Int64At(p, 0) == create->TaskId) p[count - 1] = kErrBackend;
    return 0;
  };
  EXPECT_FALSE(CancelTransferByPath(engine(), u"\\h", -1));
  ASSERT_EQ(3u, fired.size());
  EXPECT_EQ(rename->TaskId, fired[0].task_id);
  EXPECT_EQ(read->TaskId, fired[1].task_id);
  EXPECT_EQ(create->TaskId, fired[2].task_id);
  EXPECT_EQ(0u, del->Cancelled.load());
  EXPECT_EQ(1u, read->Cancelled.load());

  fired.clear();
  answer = nullptr;
  EXPECT_TRUE(CancelTransferByPath(engine(), u"\\h", OP_DELETE));
  EXPECT_EQ(1u, fired.size());
  EXPECT_FALSE(CancelTransferByPath(engine(), u"\\nothing", -1));
  // Every task of one key is cancelled, not only the first.
  Task* read2 = NewTask(u"\\i", OP_READ_DATA);
  Task* read3 = NewTask(u"\\i", OP_READ_DATA);
  EXPECT_TRUE(CancelTransferByPath(engine(), u"\\i", OP_READ_DATA));
  EXPECT_EQ(1u, read2->Cancelled.load());
  EXPECT_EQ(1u, read3->Cancelled.load());
  EXPECT_TRUE(Logged(u"Cancelling transfer by path finished: '\\i', result: true"));
}

TEST_F(TaskEventsTest, CancelAllWalksEveryTaskAndWaitsWithinItsBudget) {
  engine().cancel_wait_budget_ms.store(200);
  Task* create = NewTask(u"\\j", OP_CREATE);
  Task* listing = NewTask(u"\\k", OP_INTERNAL_LIST);
  Task* read = NewTask(u"\\l", OP_READ_DATA);
  engine().tasks.ReleaseTask(engine().tasks.CreateTask(u"\\spare", OP_CREATE, nullptr));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kOk, engine().CancelAllTransfers());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_EQ(2u, fired.size());  // the internal listing asks no one
  EXPECT_EQ(read->TaskId, fired[0].task_id);
  EXPECT_EQ(create->TaskId, fired[1].task_id);
  EXPECT_EQ(1u, listing->Cancelled.load());
  EXPECT_EQ(0u, engine().tasks.SpareCount());
  EXPECT_TRUE(Logged(u"Canceling transfer for item: '\\k', operation type: OP_INTERNAL_LIST"));

  fired.clear();
  Task* stubborn = NewTask(u"\\m", OP_DELETE);
  NewTask(u"\\n", OP_DELETE);
  answer = [](int32_t, int32_t count, intptr_t* p) {
    p[count - 1] = kErrBackend;
    return 0;
  };
  EXPECT_EQ(kErrBackend, engine().CancelAllTransfers());
  EXPECT_EQ(1u, fired.size());
  EXPECT_EQ(0u, stubborn->Cancelled.load());
}

TEST_F(TaskEventsTest, FinalizeTaskCompletesARegisteredTaskUntilItIsRemoved) {
  Task* task = NewTask(u"\\o", OP_WRITE_DATA);
  EXPECT_EQ(kErrNotReady, do_FinalizeTask(engine(), task->TaskId, 0));
  engine().state.active.store(1);
  EXPECT_EQ(kErrInvalidOpId, do_FinalizeTask(engine(), 0, 0));
  EXPECT_EQ(kErrInvalidOpId, do_FinalizeTask(engine(), -5, 0));
  EXPECT_EQ(kOk, do_FinalizeTask(engine(), task->TaskId, kErrBackend));
  EXPECT_EQ(static_cast<uint32_t>(kErrBackend), task->ResultCode.load());
  EXPECT_EQ(1u, task->Completed.load());
  EXPECT_EQ(kOk, do_FinalizeTask(engine(), task->TaskId, 0));
  EXPECT_EQ(1u, task->RefCount);  // each lookup's reference went back
  const int64_t id = task->TaskId;
  engine().tasks.RemoveTask(task, id, false);
  EXPECT_EQ(kErrInvalidOpId, do_FinalizeTask(engine(), id, 0));

  Task* cancelled = NewTask(u"\\p", OP_CREATE);
  cancelled->Cancelled.store(1);
  EXPECT_EQ(kErrCancelled, do_FinalizeTask(engine(), cancelled->TaskId, 0));
  EXPECT_EQ(kErrCancelled, engine().diag.LastErrorCode());
}

TEST_F(TaskEventsTest, FinalizeFromInsideTheDataHandlerLetsGoOfHandlerLock) {
  engine().state.active.store(1);
  Task* task = NewTask(u"\\q", OP_READ_DATA);
  answer = [&](int32_t, int32_t, intptr_t* p) {
    EXPECT_EQ(kOk, do_FinalizeTask(engine(), Int64At(p, 0), 0));
    return 0;
  };
  int32_t result = 0;
  DoGetItemData(engine(), *task, task->Path, 0, 4096, result);
  EXPECT_EQ(0u, task->HandlerBusy.load());
  bool locked_elsewhere = false;
  std::thread([&] {
    const bool locked = task->HandlerLock.TryLock();
    if (locked) task->HandlerLock.Unlock();
    locked_elsewhere = locked;
  }).join();
  EXPECT_TRUE(locked_elsewhere);
  task->LeaveHandler();  // the producer's own release is harmless now
  EXPECT_EQ(1u, task->Completed.load());

  // Finalized by another thread while the handler still runs: the lock is
  // the producer's, and stays so until the producer lets go.
  Task* other = NewTask(u"\\r", OP_READ_DATA);
  answer = [&](int32_t, int32_t, intptr_t* p) {
    const int64_t id = Int64At(p, 0);
    std::thread([&] { EXPECT_EQ(kOk, do_FinalizeTask(engine(), id, 0)); }).join();
    return 0;
  };
  DoGetItemData(engine(), *other, other->Path, 0, 4096, result);
  EXPECT_EQ(1u, other->HandlerBusy.load());
  other->LeaveHandler();
  EXPECT_EQ(0u, other->HandlerBusy.load());
}

}  // namespace
}  // namespace corvane
