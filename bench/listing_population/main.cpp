// Population of one folder of 100,000 listed items, against creating the same
// empty sparse files with the same extended attributes directly, in one run.
// Also prints what the metadata cache holds per item beyond its path.
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
#include "e2e_listing/remote_host.h"

namespace {

using corvane::e2e::RemoteHost;
using corvane::e2e::RemoteItem;
using Clock = std::chrono::steady_clock;

int kItems = 100000;  // a smaller count may be given as the first argument

std::string ItemName(int i) { return "listed-item-" + std::to_string(i) + ".dat"; }

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

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
  double cpu_seconds = 0;
  double cache_bytes_per_item = 0;  // beyond the path's own characters
  size_t cached = 0;
};

LibraryRun Populate(const std::string& root) {
  LibraryRun run;
  std::filesystem::create_directories(root);
  RemoteHost host(root);
  for (int i = 0; i < kItems; ++i) {
    RemoteItem item{ItemName(i), false, 0, 1000 + i, 0, 0, 0};
    item.creation = item.last_access = item.last_write = (1700000000LL + 11644473600LL) * 10000000LL;
    host.Put("\\", std::move(item));
  }
  host.Config("WindowsCreatePlaceholdersOnDemand=false");
  if (host.Call(HALVEX_METHOD_INSTALL) != 0) {
    std::fprintf(stderr, "Install failed: %s\n", host.LastError().c_str());
    std::exit(1);
  }
  const auto start = Clock::now();
  const double cpu_start = CpuSeconds();
  if (host.Activate() != 0) {
    std::fprintf(stderr, "Activate failed: %s\n", host.LastError().c_str());
    std::exit(1);
  }
  run.seconds = Seconds(start);
  run.cpu_seconds = CpuSeconds() - cpu_start;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) kItems = std::max(1, std::atoi(argv[1]));
  // TMPDIR picks the file system; both runs share it.
  std::string base_template = (std::filesystem::temp_directory_path() / "corvane-bench-listing-XXXXXX").string();
  const std::string base = mkdtemp(base_template.data());
  std::filesystem::create_directories(base + "/state");
  setenv("CORVANE_STATE_DIR", (base + "/state").c_str(), 1);

  const LibraryRun library = Populate(base + "/root");
  std::vector<Xattrs> item_attrs(kItems);
  for (int i = 0; i < kItems; ++i) item_attrs[i] = ReadXattrs(base + "/root/" + ItemName(i));
  const size_t created = static_cast<size_t>(std::distance(std::filesystem::directory_iterator(base + "/root"),
                                                           std::filesystem::directory_iterator()));
  const Timing direct_run = CreateDirectly(base + "/direct", item_attrs);
  const double direct = direct_run.wall;

  std::printf("items listed:            %d (placeholders on disk: %zu, cache entries: %zu)\n", kItems, created,
              library.cached);
  std::printf("extended attributes:     %zu per file\n", item_attrs[0].size());
  std::printf("library population:      %.3f s, %.0f items/s\n", library.seconds, kItems / library.seconds);
  std::printf("direct creation:         %.3f s, %.0f items/s\n", direct, kItems / direct);
  std::printf("ratio library/direct:    %.2f (target at least 0.50)\n", direct / library.seconds);
  std::printf("cpu time library/direct: %.3f s / %.3f s, ratio %.2f\n", library.cpu_seconds, direct_run.cpu,
              direct_run.cpu / library.cpu_seconds);
  std::printf("metadata cache per item: %.0f bytes beyond the path (target under 300)\n",
              library.cache_bytes_per_item);
  std::fflush(stdout);
  std::filesystem::remove_all(base);
  return created == static_cast<size_t>(kItems) ? 0 : 1;
}
