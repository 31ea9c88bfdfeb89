#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/retry_passes.h"
#include "engine/retry_queue.h"
#include "common/internal_host.h"
#include "engine/retry_wrappers.h"

namespace corvane {
namespace {

using testing::EngineHost;

class RetryQueueTest : public ::testing::Test, public EngineHost {
 protected:
  void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  size_t Queued() { return RetryQueueOf(engine()).Count(); }
  int32_t Create(const std::u16string& path, bool is_dir = false) {
    Task* task = NewTask(path, OP_CREATE);
    int32_t result = 0;
    FireCreateWithRetry(engine(), *task, path, is_dir, 0, 5, 1, 2, 3, result);
    task->LeaveHandler();
    engine().tasks.RemoveTask(task, task->TaskId, false);
    return result;
  }
};

TEST_F(RetryQueueTest, IntervalZeroQueuesNothingAndNeverFiresAgain) {
  engine().settings.event_retry_interval.store(0);
  answer = [](int32_t, const std::u16string&) { return kErrRetry; };
  EXPECT_EQ(kErrRetry, Create(u"\\a.txt"));
  EXPECT_EQ(0u, Queued());
  RunRetryPass(engine(), u"\\root");
  EXPECT_EQ(1u, Events(HALVEX_EVENT_CREATE_FILE).size());
}

TEST_F(RetryQueueTest, ANewItemReportedAgainWhileItsCreateWaitsIsQueuedOnce) {
  engine().settings.event_retry_interval.store(60000);
  answer = [](int32_t, const std::u16string&) { return kErrRetry; };
  Create(u"\\n.txt");
  Create(u"\\n.txt");
  EXPECT_EQ(1u, Queued());
  // A change of it offered meanwhile goes with the create: the host has no
  // item to update yet.
  Task* update = NewTask(u"\\n.txt", OP_WRITE_DATA);
  int32_t result = 0;
  FireUpdateWithRetry(engine(), *update, u"\\n.txt", false, 1, 0, 7, 0, 0, 0, result);
  update->LeaveHandler();
  EXPECT_EQ(kErrRetry, result);
  EXPECT_TRUE(Events(HALVEX_EVENT_UPDATE_FILE).empty());
  ASSERT_EQ(1u, Queued());
  EXPECT_EQ(7u, RetryQueueOf(engine()).Snapshot()[0].Size);
  Create(u"\\n.txt");
  EXPECT_EQ(1u, Queued());
  // Queued in a folder under its old name, and again under the new one
  // before the host took the folder's rename: one item, created once.
  Create(u"\\old\\m.txt");
  Create(u"\\new\\m.txt");
  FollowQueuedFolderRename(engine(), u"\\old", u"\\new");
  EXPECT_EQ(2u, Queued());
}

TEST_F(RetryQueueTest, DeleteAndRenameClearRetriesOfTheSamePathAndKind) {
  engine().settings.event_retry_interval.store(60000);
  answer = [](int32_t id, const std::u16string&) {
    return id == HALVEX_EVENT_DELETE_FILE || id == HALVEX_EVENT_RENAME_FOLDER ? kOk : kErrRetry;
  };
  Create(u"\\a.txt");
  Create(u"\\a.txt", true);  // same path, folder kind
  Create(u"\\A.txt");        // case differs
  Task* update = NewTask(u"\\a.txt", OP_WRITE_DATA);
  int32_t result = 0;
  FireUpdateWithRetry(engine(), *update, u"\\a.txt", false, 1, 0, 1, 0, 0, 0, result);
  update->LeaveHandler();
  ASSERT_EQ(4u, Queued());

  Task* del = NewTask(u"\\a.txt", OP_DELETE);
  FireDeleteWithRetry(engine(), *del, u"\\a.txt", false, 0, result);
  del->LeaveHandler();
  auto left = RetryQueueOf(engine()).Snapshot();
  ASSERT_EQ(2u, left.size());
  EXPECT_EQ(1u, left[0].IsDir);
  EXPECT_EQ(u"\\A.txt", left[1].Path);

  Task* rename = NewTask(u"\\a.txt", OP_RENAME);
  FireRenameWithRetry(engine(), *rename, u"\\a.txt", u"\\b", true, result);
  rename->LeaveHandler();
  EXPECT_EQ(1u, Queued());
}

// The host made its own item at the name a put-off rename moves to, and the
// watcher is behind: the records before the host's may show the renamed item
// moving on (which renames the queued move). Told meanwhile, the rename put
// the user's file over the host's new one on the server.
TEST_F(RetryQueueTest, RenameWaitsWhileTheHostsNewItemAtItsTargetIsUnseen) {
  engine().settings.event_retry_interval.store(1);
  answer = [](int32_t, const std::u16string&) { return kErrRetry; };
  Task* rename = NewTask(u"\\ink.txt", OP_RENAME);
  int32_t result = 0;
  FireRenameWithRetry(engine(), *rename, u"\\quill.txt", u"\\ink.txt", false, result);
  rename->LeaveHandler();
  engine().tasks.RemoveTask(rename, rename->TaskId, false);
  ASSERT_EQ(1u, Queued());
  engine().unseen_creations.Add(u"\\ink.txt", 42);
  Sleep(5);
  answer = [](int32_t, const std::u16string&) { return kOk; };
  RunRetryPass(engine(), u"\\root");
  EXPECT_EQ(1u, Events(HALVEX_EVENT_RENAME_FILE).size());
  EXPECT_EQ(1u, Queued());
  engine().unseen_creations.Seen(u"\\ink.txt", 42);
  RunRetryPass(engine(), u"\\root");
  EXPECT_EQ(2u, Events(HALVEX_EVENT_RENAME_FILE).size());
}

TEST_F(RetryQueueTest, DeleteSuppressedByThePendingListStillClearsRetries) {
  engine().settings.event_retry_interval.store(60000);
  answer = [](int32_t, const std::u16string&) { return kErrRetry; };
  Create(u"\\gone.txt");
  ASSERT_EQ(1u, Queued());
  engine().pending.AddPending(u"\\gone.txt", kOpDelete, false);
  Task* del = NewTask(u"\\gone.txt", OP_DELETE);
  int32_t result = 0;
  EXPECT_EQ(0, FireDeleteWithRetry(engine(), *del, u"\\gone.txt", false, 0, result));
  EXPECT_EQ(0u, Queued());
  EXPECT_TRUE(Events(HALVEX_EVENT_DELETE_FILE).empty());
}

TEST_F(RetryQueueTest, ReportDeleteUsesTheCacheAndKeepsPendingTasks) {
  // Unknown to the cache: no event, and the host's own pending delete goes,
  // as does the mark of its rename that moved the item out of sight (left,
  // it swallowed the user's later rename of a new file of that name).
  engine().pending.AddPending(u"\\x.txt", kOpDelete, false);
  engine().pending.AddPending(u"\\x.txt", kOpRename, false);
  EXPECT_EQ(kOk, ReportDelete(engine(), u"\\x.txt", nullptr, DeleteOf::kCachedItem));
  EXPECT_EQ(0u, EventCount());
  EXPECT_EQ(0u, engine().pending.CountOf(u"\\x.txt", kOpDelete, false));
  EXPECT_EQ(0u, engine().pending.CountOf(u"\\x.txt", kOpRename, false));

  engine().metadata_cache.AddNewItemToCache(u"\\d", u"d", kItemAttributeFolder, 0, 0, 0, 0);
  engine().metadata_cache.AddNewItemToCache(u"\\d\\f", u"f", 0, 1, 0, 0, 0);
  EXPECT_EQ(kOk, ReportDelete(engine(), u"\\d", nullptr, DeleteOf::kCachedItem));
  ASSERT_EQ(1u, Events(HALVEX_EVENT_DELETE_FOLDER).size());
  EXPECT_TRUE(engine().metadata_cache.NoItemInCache(u"\\d\\f"));
  EXPECT_EQ(0u, engine().tasks.Count());

  // A failure leaves the cache alone; a pending answer keeps the task.
  engine().metadata_cache.AddNewItemToCache(u"\\e.txt", u"e.txt", 0, 1, 0, 0, 0);
  answer = [](int32_t, const std::u16string&) { return kErrBackend; };
  EXPECT_EQ(kErrBackend, ReportDelete(engine(), u"\\e.txt", nullptr, DeleteOf::kFile));
  EXPECT_FALSE(engine().metadata_cache.NoItemInCache(u"\\e.txt"));
  answer = [](int32_t, const std::u16string&) { return kErrPending; };
  EXPECT_EQ(kErrPending, ReportDelete(engine(), u"\\e.txt", nullptr, DeleteOf::kFile));
  ASSERT_EQ(1u, engine().tasks.Count());
  EXPECT_EQ(1, engine().StatPendingTasks());
}

}  // namespace
}  // namespace corvane
