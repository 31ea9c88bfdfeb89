#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/per_thread.h"

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

}  // namespace
}  // namespace corvane
