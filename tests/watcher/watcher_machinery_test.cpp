#include <sys/stat.h>

#include "engine/host_events.h"
#include "watcher/watcher_fixture.h"
#include "watcher/watcher_task.h"

namespace corvane::testing {
namespace {

class WatcherMachineryTest : public WatcherTest {};

// Holds the serialized worker until released, so tasks stay queued.
class BlockingTask : public WatcherTask {
 public:
  BlockingTask(DirectoryWatcher& watcher, std::atomic<bool>& release)
      : WatcherTask(WATCHER_TASK_SAVED_REMOVE, watcher), release_(release) {}
  int32_t Execute() override {
    while (!release_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  }

 private:
  std::atomic<bool>& release_;
};

struct CountingHook : ThreadHook {
  void OnThreadStart() override { ++starts; }
  void OnThreadEnd() override { ++ends; }
  std::atomic<int> starts{0}, ends{0};
};

TEST_F(WatcherMachineryTest, ParallelWorkerCountFollowsTheSettings) {
  // Static: it must outlive every engine thread that might still call it.
  static CountingHook hook;
  hook.starts = 0;
  hook.ends = 0;
  ThreadHook* saved = engine().thread_hook;
  engine().thread_hook = &hook;
  struct Case {
    uint32_t serialize;
    int32_t max, min;
    size_t expected;
  } cases[] = {{0, 0, 0, 4}, {0, 2, 6, 6}, {0, 3, 0, 3}, {0, -5, 0, 4}, {1, 8, 8, 0}};
  for (const Case& c : cases) {
    engine().settings.serialize_events.store(c.serialize);
    engine().settings.max_worker_thread_count.store(c.max);
    engine().settings.min_worker_thread_count.store(c.min);
    engine().settings.worker_initial_stack_size.store(256 * 1024);
    hook.starts = 0;
    hook.ends = 0;
    DirectoryWatcher watcher(engine(), Root());
    ASSERT_TRUE(watcher.Start());
    EXPECT_EQ(c.expected, watcher.ParallelWorkerCount()) << c.max << "/" << c.min << "/" << c.serialize;
    const int lane_helpers = static_cast<int>(watcher.record_lanes().count()) - 1;
    EXPECT_EQ(c.serialize != 0, lane_helpers == 0);
    watcher.Stop();
    // Watcher thread, serialized worker, each parallel worker and each
    // helper of the record lanes, both hooks.
    EXPECT_EQ(static_cast<int>(c.expected) + 2 + lane_helpers, hook.starts.load());
    EXPECT_EQ(hook.starts.load(), hook.ends.load());
  }
  engine().thread_hook = saved;
}

TEST_F(WatcherMachineryTest, StopIsIdempotentAndDropsQueuedExecuteRequestsUnrun) {
  engine().settings.serialize_events.store(1);  // execute requests share the serialized worker
  RegisterRoot();
  DirectoryWatcher watcher(engine(), Root());
  ASSERT_TRUE(watcher.Start());
  std::atomic<bool> release{false};
  ASSERT_TRUE(watcher.Enqueue(new BlockingTask(watcher, release)));
  for (int i = 0; i < 3; ++i) {
    auto request = std::make_unique<ExecuteRequest>();
    ASSERT_TRUE(watcher.Enqueue(request));
    EXPECT_EQ(nullptr, request);
  }
  std::thread stopper([&] { watcher.Stop(); });
  Pause(100);
  release.store(true);
  stopper.join();
  watcher.Stop();
  EXPECT_EQ(1u, LinesWith(u"Stopping directory changes watcher for path"));
  EXPECT_EQ(1u, LinesWith(u"Directory changes watcher stopped for path"));
  EXPECT_EQ(0u, LinesWith(u"Deferred CfExecute"));
  EXPECT_EQ(0u, LinesWith(u"Serialized worker task ('4')"));

  // A stopped watcher hands requests back so the caller can run them itself.
  auto late = std::make_unique<ExecuteRequest>();
  EXPECT_FALSE(watcher.Enqueue(late));
  EXPECT_NE(nullptr, late);
}

TEST_F(WatcherMachineryTest, MissingFolderFailsToStart) {
  DirectoryWatcher watcher(engine(), Root() + u"\\absent");
  EXPECT_FALSE(watcher.Start());
  EXPECT_EQ(1u, LinesWith(u"Failed to open path for directory watcher: '" + Root() + u"\\absent'"));
  watcher.Stop();  // nothing was started; must not hang
}

TEST_F(WatcherMachineryTest, OverflowSchedulesExactlyOneRescanAndConcurrentScansAreSkipped) {
  RegisterRoot();  // the rescan reports the new folder as a placeholder
  engine().settings.serialize_events.store(1);
  // Too small for a record with a long name: the completion overflows.
  DirectoryWatcher watcher(engine(), Root(), 160);
  ASSERT_TRUE(watcher.Start());
  MakeDir(std::string(60, 'd'));
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(u"Serialized worker task ('2') execution finished") >= 1; }));
  Pause(500);
  // Each overflowing completion schedules exactly one rescan. (Turning the new
  // folder into a placeholder changes it again, and with this tiny buffer that
  // change overflows too; the second rescan finds the folder known.)
  const size_t overflows = LinesWith(u"notification buffer overflow; scheduling rescan for missed files.");
  EXPECT_GE(overflows, 1u);
  EXPECT_EQ(overflows, watcher.EnqueuedCount(WATCHER_TASK_RESCAN));
  EXPECT_EQ(1u, CountOf(HALVEX_EVENT_CREATE_FOLDER));

  // A second rescan of a path already being scanned does not run beside it,
  // but the running one makes one more pass: it may have passed the changes.
  ASSERT_TRUE(watcher.BeginScan(Root()));
  RescanTask task(watcher, Root());
  EXPECT_EQ(0, task.Execute());
  RescanTask again(watcher, Root());
  EXPECT_EQ(0, again.Execute());
  EXPECT_EQ(2u, LinesWith(u"Scan skipped (already in progress): '" + Root() + u"'"));
  EXPECT_TRUE(watcher.EndScan(Root()));
  EXPECT_FALSE(watcher.BeginScan(Root()));  // still running its extra pass
  EXPECT_FALSE(watcher.EndScan(Root()));
  EXPECT_TRUE(watcher.BeginScan(Root()));
  EXPECT_FALSE(watcher.EndScan(Root()));
}

}  // namespace
}  // namespace corvane::testing
