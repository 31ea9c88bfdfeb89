// Population of one folder of 100,000 listed items, at activation and on one
// user listing through the client, against creating the same empty sparse
// files with the same extended attributes directly, rounds alternating.
// Also prints what the metadata cache holds per item beyond its path.
// Usage: bench_listing_population [items (default 100000)] [rounds (default 6, or BENCH_ROUNDS)]
//        bench_listing_population items 1 activation|listing   (one library run only, for strace -c)
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "component/component.h"
#include "bench_common.h"
#include "e2e_hydration/provider_host.h"
#include "platform/local/client.h"

namespace {

using corvane::e2e::ProviderHost;
using corvane::e2e::RemoteItem;
using corvane::bench::Clock;
using corvane::bench::Seconds;

int kItems = 100000;  // a smaller count may be given as the first argument

std::string ItemName(int i) { return "listed-item-" + std::to_string(i) + ".dat"; }

// CPU time of the whole process (every thread, user and system): on a
// shared machine the wall clock mostly measures the neighbours.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Timing {
  double wall = 0;
  double cpu = 0;
};

using Xattrs = std::vector<std::pair<std::string, std::string>>;

Xattrs ReadXattrs(const std::string& path) {
  Xattrs attrs;
  std::string names(4096, '\0');
  const ssize_t length = listxattr(path.c_str(), names.data(), names.size());
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
    const std::string name = names.data() + at;
    std::string value(4096, '\0');
    const ssize_t got = getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (got >= 0) attrs.emplace_back(name, value.substr(0, static_cast<size_t>(got)));
  }
  return attrs;
}

// What a placeholder costs without any provider machinery: create, size,
// times, and each item's own extended attributes (distinct values cannot
// share a file-system block, so copying one item's would flatter the baseline).
Timing CreateDirectly(const std::string& folder, const std::vector<Xattrs>& item_attrs) {
  std::filesystem::create_directories(folder);
  const auto start = Clock::now();
  const double cpu_start = CpuSeconds();
  for (int i = 0; i < kItems; ++i) {
    const std::string path = folder + "/" + ItemName(i);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, 1000 + i) != 0) {
      std::perror("baseline create");
      std::exit(1);
    }
    const struct timespec times[2] = {{1700000060, 0}, {1700000120, 0}};
    futimens(fd, times);
    for (const auto& [name, value] : item_attrs[i]) fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
    close(fd);
  }
  return {Seconds(start), CpuSeconds() - cpu_start};
}

struct LibraryRun {
  double seconds = 0;
  double cache_bytes_per_item = 0;  // beyond the path's own characters
  size_t cached = 0;
};

// The library fills `root` from a host listing kItems items: at activation
// (`on_demand` false) or on one user listing through the client (true).
LibraryRun Populate(const std::string& root, bool on_demand) {
  LibraryRun run;
  std::filesystem::create_directories(root);
  ProviderHost host(root);
  host.Config("WaitForInstallToComplete=0");
  for (int i = 0; i < kItems; ++i) {
    RemoteItem item{ItemName(i), false, 0, 1000 + i, 0, 0, 0};
    item.creation = item.last_access = item.last_write = (1700000000LL + 11644473600LL) * 10000000LL;
    host.AddItem("\\", std::move(item));
  }
  host.Config(on_demand ? "WindowsCreatePlaceholdersOnDemand=true" : "WindowsCreatePlaceholdersOnDemand=false");
  if (host.Install() != 0) {
    std::fprintf(stderr, "Install failed: %s\n", host.LastError().c_str());
    std::exit(1);
  }
  Clock::time_point start = Clock::now();
  if (host.Activate() != 0) {
    std::fprintf(stderr, "Activate failed: %s\n", host.LastError().c_str());
    std::exit(1);
  }
  if (on_demand) {
    start = Clock::now();
    std::vector<corvane::platform::local::ClientEntry> entries;
    corvane::platform::local::Client client(root);
    if (client.List(".", entries) != 0 || entries.size() != static_cast<size_t>(kItems)) {
      std::fprintf(stderr, "the user listing gave %zu of %d items\n", entries.size(), kItems);
      std::exit(1);
    }
  }
  run.seconds = Seconds(start);

  // The cache's own allocations are what freeing it gives back.
  corvane::MetadataCache& cache = static_cast<corvane::Component*>(host.handle())->engine.metadata_cache;
  run.cached = cache.Count();
  size_t path_bytes = 0;
  for (int i = 0; i < kItems; ++i) path_bytes += (ItemName(i).size() + 2) * sizeof(char16_t);  // "\" + name + NUL
  const size_t before = mallinfo2().uordblks;
  cache.Clear();
  const size_t after = mallinfo2().uordblks;
  run.cache_bytes_per_item = (static_cast<double>(before - after) - static_cast<double>(path_bytes)) / kItems;
  host.Call(HALVEX_METHOD_DEACTIVATE);
  host.Call(HALVEX_METHOD_UNINSTALL);
  return run;
}

size_t CountEntries(const std::string& folder) {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) kItems = std::max(1, std::atoi(argv[1]));
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : corvane::bench::Rounds(6);
  // TMPDIR picks the file system; both sides share it.
  const std::string dir = corvane::bench::WorkDir();
  std::string base_template = dir + "/corvane-bench-listing-XXXXXX";
  const std::string base = mkdtemp(base_template.data());
  std::filesystem::create_directories(base + "/state");
  setenv("CORVANE_STATE_DIR", (base + "/state").c_str(), 1);
  if (argc > 3) {
    const std::string only = argv[3];
    const LibraryRun run = Populate(base + "/root", only == "listing");
    std::printf("library only (%s): %d items in %.3f s\n", only.c_str(), kItems, run.seconds);
    std::filesystem::remove_all(base);
    return 0;
  }
  std::printf("population: %d items in one folder in %s, %d rounds\n", kItems, dir.c_str(), rounds);

  // The baseline copies the attributes the library wrote, so one library
  // run comes first.
  LibraryRun first = Populate(base + "/sample", false);
  std::vector<Xattrs> item_attrs(kItems);
  for (int i = 0; i < kItems; ++i) item_attrs[i] = ReadXattrs(base + "/sample/" + ItemName(i));
  std::printf("extended attributes: %zu per file; metadata cache: %zu entries, %.0f bytes per item beyond the path\n",
              item_attrs[0].size(), first.cached, first.cache_bytes_per_item);
  std::filesystem::remove_all(base + "/sample");

  int serial = 0;
  bool complete = true;
  const auto baseline = [&] {
    const std::string folder = base + "/direct-" + std::to_string(++serial);
    const double seconds = CreateDirectly(folder, item_attrs).wall;
    std::filesystem::remove_all(folder);
    return seconds;
  };
  const auto library = [&](bool on_demand) {
    const std::string root = base + "/root-" + std::to_string(++serial);
    const LibraryRun run = Populate(root, on_demand);
    if (CountEntries(root) != static_cast<size_t>(kItems)) complete = false;
    std::filesystem::remove_all(root);
    return run.seconds;
  };
  const std::string count = std::to_string(kItems);
  corvane::bench::Comparison at_activation("population " + count + " items at activation (" + dir + ")", "s", false,
                                           0.8);
  at_activation.Run(rounds, [&] { return library(false); }, baseline);
  at_activation.Report();
  corvane::bench::Comparison listing("population " + count + " items, one user listing (" + dir + ")", "s", false,
                                     0.5);
  listing.Run(rounds, [&] { return library(true); }, baseline);
  listing.Report();
  corvane::bench::ReportMemory("population peak RSS (" + count + " items)", corvane::bench::PeakRssMiB(), "MiB");
  corvane::bench::ReportMemory("metadata cache per item beyond the path", first.cache_bytes_per_item, "bytes");
  std::filesystem::remove_all(base);
  if (!complete) std::fprintf(stderr, "a population left items out\n");
  return complete ? 0 : 1;
}
