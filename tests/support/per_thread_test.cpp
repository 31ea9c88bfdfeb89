#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/per_thread.h"

namespace corvane {
namespace {

TEST(PerThread, EntriesAreSeparateAndDroppedWhenThreadsEnd) {
  PerThread<std::string> table;
  table.Local() = "main";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 24; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = "thread " + std::to_string(t);
      if (!table.Get().empty()) ++wrong;  // reading creates nothing
      for (int i = 0; i < 200; ++i) {
        table.Local() = mine;
        std::this_thread::yield();
        if (table.Get() != mine) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ("main", table.Get());
  EXPECT_EQ(1u, table.thread_count());
}

TEST(PerThread, TableDestroyedWhileItsThreadsLive) {
  auto table = std::make_unique<PerThread<int>>();
  std::atomic<bool> stored{false};
  std::atomic<bool> table_gone{false};
  std::thread worker([&] {
    table->Local() = 7;
    stored = true;
    while (!table_gone) std::this_thread::yield();
    // Ends after the table is gone; its clean-up must not touch it.
  });
  while (!stored) std::this_thread::yield();
  EXPECT_EQ(1u, table->thread_count());
  table.reset();
  table_gone = true;
  worker.join();

  // Tables made later still work and are cleaned as usual.
  PerThread<int> later;
  std::thread([&] { later.Local() = 1; }).join();
  EXPECT_EQ(0u, later.thread_count());
}

}  // namespace
}  // namespace corvane
