// The cloud-files mount against its backing folder, rounds alternating:
// reading a hydrated file (1 GiB) through the mount and directly, and
// `ls -l` (readdir and lstat of every entry) of a populated folder of
// 100,000 items through the mount and directly. Reads are measured twice:
// warm (a first pair runs untimed and each side keeps its pages, as a
// second `cat` of the file finds them), which has the floor, and with both
// the mount's and the backing file's pages dropped (POSIX_FADV_DONTNEED)
// before every read of either side, so that each byte passes the daemon.
// The listings both run warm (a first pair runs untimed). TMPDIR picks the
// file system; skips without /dev/fuse or without corvane-cloudfs.
// Usage: bench_cloudfs [size_in_MiB (default 1024)] [items (default 100000)] [rounds (default 6, or BENCH_ROUNDS)]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench_common.h"
#include "e2e_hydration/provider_host.h"
#include "platform/local/client.h"
#include "platform/local/sync_roots.h"

namespace {

using corvane::bench::Clock;
using corvane::bench::Seconds;

constexpr size_t kBuffer = 1u << 20;

void DropPages(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) std::abort();
  close(fd);
}

// MB/s of one whole read; `check` compares the bytes as well (untimed use).
double ReadMBps(const std::string& path, char* buffer, const std::string* check = nullptr) {
  const Clock::time_point start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  uint64_t total = 0;
  for (ssize_t got; (got = read(fd, buffer, kBuffer)) != 0; total += static_cast<uint64_t>(got)) {
    if (got < 0) {
      std::perror(path.c_str());
      std::exit(1);
    }
    if (check != nullptr && (total + got > check->size() || std::memcmp(buffer, check->data() + total, got) != 0)) {
      std::fprintf(stderr, "%s: wrong bytes at %llu\n", path.c_str(), static_cast<unsigned long long>(total));
      std::exit(1);
    }
  }
  close(fd);
  return static_cast<double>(total) / 1e6 / Seconds(start);
}

// Seconds of what `ls -l` asks of the file system; the entry count must be `items`.
double ListSeconds(const std::string& folder, int items) {
  const Clock::time_point start = Clock::now();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) std::abort();
  int seen = 0;
  for (dirent* e; (e = readdir(dir)) != nullptr;) {
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) continue;
    struct stat st;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) std::abort();
    ++seen;
  }
  closedir(dir);
  if (seen != items) {
    std::fprintf(stderr, "%s: %d entries, not %d\n", folder.c_str(), seen, items);
    std::exit(1);
  }
  return Seconds(start);
}

bool Mounted(const std::string& root) {
  struct statvfs fs;
  struct stat here, up;
  return statvfs(root.c_str(), &fs) == 0 && stat(root.c_str(), &here) == 0 &&
         stat((root + "/..").c_str(), &up) == 0 && here.st_dev != up.st_dev;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef CORVANE_CLOUDFS
  std::printf("cloudfs: skipped, corvane-cloudfs is not built (libfuse 3 missing)\n");
  return 0;
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    std::printf("cloudfs: skipped, no usable /dev/fuse\n");
    return 0;
  }
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int items = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : corvane::bench::Rounds(6);
  corvane::e2e::TempSpace space(corvane::bench::WorkDir());
  const std::string root = space.root();
  // The registration mounts the root, as a provider's does.
  setenv("CORVANE_CLOUDFS", CORVANE_CLOUDFS, 0);  // another build of the tool may be given
  corvane::e2e::ProviderHost host(root);
  host.put_size = 1u << 20;
  if (host.Config("WindowsCreatePlaceholdersOnDemand=true") != 0 || host.Start() != 0) {
    std::fprintf(stderr, "provider did not start: %s\n", host.LastError().c_str());
    return 1;
  }
  if (!Mounted(root)) {
    std::fprintf(stderr, "%s was not mounted\n", root.c_str());
    return 1;
  }
  const std::string backing = corvane::platform::local::BackingFolderOf(root);
  std::printf("cloudfs: %llu MiB file, %d items in %s, %d rounds\n", static_cast<unsigned long long>(mib), items,
              corvane::bench::WorkDir().c_str(), rounds);

  bool ok = true;
  {
    const std::string bytes = corvane::e2e::RemoteBytes(mib << 20, 7);
    if (host.AddRemoteFile("big.bin", bytes) != 0 || corvane::platform::local::Client(root).Hydrate("big.bin") != 0) {
      std::fprintf(stderr, "the file was not hydrated: %s\n", host.LastError().c_str());
      return 1;
    }
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    const std::string mounted = root + "/big.bin", direct = backing + "/big.bin";
    ReadMBps(mounted, buffer.get(), &bytes);
    const std::string what = "cloudfs: read a hydrated " + std::to_string(mib) + " MiB file";
    corvane::bench::Comparison warm(what + ", warm (" + corvane::bench::WorkDir() + ")", "MB/s", true, 0.7);
    warm.Run(rounds, [&] { return ReadMBps(mounted, buffer.get()); }, [&] { return ReadMBps(direct, buffer.get()); });
    ok = warm.Report() && ok;
    const auto cold = [&](const std::string& path) {
      DropPages(mounted);
      DropPages(direct);
      return ReadMBps(path, buffer.get());
    };
    // Every byte through the daemon: two copies where the baseline makes
    // one. Shown, with no floor.
    corvane::bench::Comparison dropped(what + ", pages dropped (" + corvane::bench::WorkDir() + ")", "MB/s", true, 0);
    dropped.Run(rounds, [&] { return cold(mounted); }, [&] { return cold(direct); }, false);
    dropped.Report();
  }

  if (host.CreateFolder("\\list") != 0) return 1;
  for (int i = 0; i < items; ++i) {
    if (host.CreateFile("\\list\\item-" + std::to_string(i) + ".dat", 1000 + i) != 0) {
      std::fprintf(stderr, "item %d: %s\n", i, host.LastError().c_str());
      return 1;
    }
  }
  corvane::bench::Comparison listing("cloudfs: ls -l of " + std::to_string(items) + " items (" +
                                         corvane::bench::WorkDir() + ")",
                                     "s", false, 0.2);
  listing.Run(rounds, [&] { return ListSeconds(root + "/list", items); },
              [&] { return ListSeconds(backing + "/list", items); });
  ok = listing.Report() && ok;

  host.Deactivate();
  if (host.Uninstall() != 0 || Mounted(root)) std::fprintf(stderr, "%s stays mounted\n", root.c_str());
  return ok ? 0 : 1;
#endif
}
