#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "diag/result_codes.h"
#include "engine/task_registry.h"

namespace corvane {
namespace {

TEST(TaskRegistry, IdsStartAtOneAndStayUniqueAcrossThreads) {
  TaskRegistry registry;
  Task* first = registry.CreateTask(u"\\a", OP_CREATE, nullptr);
  EXPECT_EQ(1, registry.RegisterTask(first));
  EXPECT_EQ(1, first->TaskId);

  constexpr int kThreads = 8, kPerThread = 400;
  std::vector<std::vector<int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Task* task = registry.CreateTask(u"\\same", OP_READ_DATA, nullptr);
        ids[t].push_back(registry.RegisterTask(task));
        // Half go away at once, so pooled records are reused for new ids.
        if (i % 2 == 0) registry.RemoveTask(task, task->TaskId, false);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<int64_t> all;
  for (auto& list : ids) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
  EXPECT_EQ(2, all.front());
  EXPECT_EQ(kThreads * kPerThread + 1, all.back());
  EXPECT_EQ(size_t{kThreads * kPerThread / 2 + 1}, registry.Count());
}

TEST(TaskRegistry, FindTaskAnswersForBadUnknownAndCancelledIds) {
  TaskRegistry registry;
  Task* task = registry.CreateTask(u"\\a", OP_READ_DATA, nullptr);
  const int64_t id = registry.RegisterTask(task);
  Task* found = reinterpret_cast<Task*>(1);
  EXPECT_EQ(kErrInvalidOpId, registry.FindTask(0, true, &found));
  EXPECT_EQ(nullptr, found);
  EXPECT_EQ(kErrInvalidOpId, registry.FindTask(-5, true, &found));
  EXPECT_EQ(kErrInvalidOpId, registry.FindTask(id + 1, true, &found));

  ASSERT_EQ(kOk, registry.FindTask(id, false, &found));
  EXPECT_EQ(task, found);
  EXPECT_EQ(2u, task->RefCount);
  registry.ReleaseTask(found);

  task->Cancelled.store(1);
  EXPECT_EQ(kErrCancelled, registry.FindTask(id, false, &found));
  EXPECT_EQ(nullptr, found);
  EXPECT_EQ(1u, task->RefCount);
  ASSERT_EQ(kOk, registry.FindTask(id, true, &found));
  registry.ReleaseTask(found);
}

TEST(TaskRegistry, ARecordReturnsToThePoolOnlyWithItsLastReference) {
  TaskRegistry registry;
  Task* task = registry.CreateTask(u"\\doc.txt", OP_RENAME, nullptr);
  ASSERT_NE(nullptr, task->RenameInfo);
  const int64_t id = registry.RegisterTask(task);
  Task* held = nullptr;
  ASSERT_EQ(kOk, registry.FindTask(id, false, &held));

  // An unbalanced release cannot take away the registration's reference.
  registry.ReleaseTask(held);
  registry.ReleaseTask(held);
  EXPECT_EQ(1u, task->RefCount);
  EXPECT_EQ(0u, registry.SpareCount());

  ASSERT_EQ(kOk, registry.FindTask(id, false, &held));
  EXPECT_TRUE(registry.RemoveTask(nullptr, id, false));
  EXPECT_FALSE(registry.RemoveTask(held, id, false));
  EXPECT_EQ(0u, registry.Count());
  // Still ours: not reset, not in the pool, not handed to a new task.
  EXPECT_EQ(id, held->TaskId);
  EXPECT_EQ(u"\\doc.txt", held->Path);
  EXPECT_EQ(0u, registry.SpareCount());
  Task* other = registry.CreateTask(u"\\x", OP_CREATE, nullptr);
  EXPECT_NE(held, other);

  registry.ReleaseTask(held);
  EXPECT_EQ(1u, registry.SpareCount());
  EXPECT_EQ(-1, held->TaskId);
  EXPECT_EQ(nullptr, held->RenameInfo);
  EXPECT_EQ(held, registry.CreateTask(u"\\y", OP_LIST, nullptr));
  EXPECT_NE(nullptr, held->Listing);
  EXPECT_EQ(nullptr, held->RenameInfo);
  registry.ReleaseTask(other);

  // Removal by the record itself, with the caller's reference dropped too.
  registry.RegisterTask(held);
  Task* again = nullptr;
  ASSERT_EQ(kOk, registry.FindTask(held->TaskId, false, &again));
  EXPECT_TRUE(registry.RemoveTask(again, -1, true));
  EXPECT_EQ(2u, registry.SpareCount());
}

TEST(TaskRegistry, PoolKeepsAtMost128Spares) {
  TaskRegistry registry;
  std::vector<Task*> tasks;
  for (int i = 0; i < 200; ++i) tasks.push_back(registry.CreateTask(u"\\p", OP_CREATE, nullptr));
  for (Task* task : tasks) registry.ReleaseTask(task);
  EXPECT_EQ(TaskRegistry::kMaxSpareRecords, registry.SpareCount());
  registry.DestroySpares();
  EXPECT_EQ(0u, registry.SpareCount());
}

// Producers register and remove, finders look up random ids and check that
// what they hold is still the task they asked for while they hold it.
TEST(TaskRegistry, NoRecordIsReusedWhileAFinderHoldsIt) {
  TaskRegistry registry;
  std::atomic<int64_t> highest{0};
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        Task* task = registry.CreateTask(u"\\f", OP_READ_DATA, nullptr);
        const int64_t id = registry.RegisterTask(task);
        int64_t seen = highest.load();
        while (seen < id && !highest.compare_exchange_weak(seen, id)) {
        }
        registry.RemoveTask(nullptr, id, false);
      }
    });
  }
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(t);
      while (!stop.load()) {
        const int64_t top = highest.load();
        if (top < 1) continue;
        const int64_t id = 1 + static_cast<int64_t>(random() % static_cast<uint64_t>(top));
        Task* task = nullptr;
        if (registry.FindTask(id, true, &task) != kOk) continue;
        for (int k = 0; k < 20; ++k) {
          if (task->TaskId != id || task->Path != u"\\f") mismatches.fetch_add(1);
        }
        registry.ReleaseTask(task);
      }
    });
  }
  for (int t = 0; t < 3; ++t) threads[t].join();
  stop.store(true);
  for (size_t t = 3; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(0, mismatches.load());
  EXPECT_EQ(0u, registry.Count());
}

}  // namespace
}  // namespace corvane
