// A large burst must reach the host complete: no file lost to a queue
// overflow, none reported twice by the rescans that an overflow or a new
// folder starts.
#include <gtest/gtest.h>

#include <map>

#include "e2e_watcher/burst.h"
#include "e2e_watcher/sync_host.h"

namespace corvane::e2e {
namespace {

TEST(LocalBurst, TenThousandFilesInTwentyFoldersAreEachReportedOnce) {
  TempSpace scratch(FastParent());
  SyncHost host(scratch.root());
  ASSERT_EQ(0, host.Start()) << host.LastError();
  platform::local::Client app(scratch.root());
  const Burst burst;

  ASSERT_TRUE(burst.MakeFolders(app));
  ASSERT_TRUE(host.WaitFor([&] { return host.Count(HALVEX_EVENT_CREATE_FOLDER) >= 20; }));
  ASSERT_TRUE(burst.Write(app));
  host.WaitFor([&] { return host.Count(HALVEX_EVENT_CREATE_FILE) >= 10000; }, 90000);
  // Late duplicates would come from the rescans of the folders.
  host.WaitFor([] { return false; }, 2500);

  std::map<std::string, int> seen;
  for (const HostEvent& e : host.ItemEvents())
    if (e.id == HALVEX_EVENT_CREATE_FILE) ++seen[e.path];
  int missing = 0, twice = 0;
  std::string examples;
  for (int f = 0; f < burst.folders; ++f) {
    for (int i = 0; i < burst.files_per_folder; ++i) {
      const std::string path = Burst::EventPath(burst.File(f, i));
      const auto it = seen.find(path);
      const int n = it == seen.end() ? 0 : it->second;
      if (n == 0) ++missing;
      if (n > 1) ++twice;
      if (n != 1 && examples.size() < 400) examples += path + " x" + std::to_string(n) + "\n";
      if (it != seen.end()) seen.erase(it);
    }
  }
  EXPECT_EQ(0, missing) << examples;
  EXPECT_EQ(0, twice) << examples;
  EXPECT_TRUE(seen.empty()) << seen.size() << " unexpected paths, e.g. " << seen.begin()->first;
  EXPECT_EQ(20u, host.Count(HALVEX_EVENT_CREATE_FOLDER));
}

}  // namespace
}  // namespace corvane::e2e
