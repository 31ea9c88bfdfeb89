// Hydration throughput: bytes go from the host's buffers (1 MiB each) into
// a dehydrated placeholder, against a plain copy of the same bytes between
// two files in the same folder, rounds alternating. Two ways in: an
// application reading the file back in 16 MiB reads, and the hydrate call
// (what `corvane-client hydrate` does). Both sides read and write through
// 16 MiB buffers and end with fdatasync of what they wrote, so the page
// cache's writeback falls on neither side alone. TMPDIR picks the file system.
// Usage: bench_hydration [size_in_MiB (default 1024)] [rounds (default 6, or BENCH_ROUNDS)]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench_common.h"
#include "e2e_hydration/provider_host.h"
#include "platform/files.h"
#include "platform/local/client.h"
#include "platform/local/native_path.h"

namespace {

using corvane::bench::Clock;
using corvane::bench::Seconds;
using corvane::e2e::ProviderHost;
using corvane::e2e::TempSpace;
namespace platform = corvane::platform;

constexpr size_t kBuffer = 16u << 20;

bool WriteWhole(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void Flush(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fdatasync(fd) != 0) std::abort();
  close(fd);
}

// Fills and frees `size` bytes of the file system's memory right before a
// timed side. On this virtual machine memory freed a few seconds ago goes
// back to the host, and the guest's next touch of it costs several times a
// warm one: without this, whichever side met such memory lost its round (the
// ratios of one run swung from 0.2 to 1.0).
void WarmMemory(const std::string& folder, uint64_t size, char* buffer) {
  const std::string path = folder + "/warm.bin";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  std::memset(buffer, 0x5a, kBuffer);
  for (uint64_t done = 0; done < size; done += kBuffer)
    if (write(fd, buffer, static_cast<size_t>(std::min<uint64_t>(kBuffer, size - done))) <= 0) std::abort();
  close(fd);
  unlink(path.c_str());
}

// The baseline: read one file and write another through one buffer.
double PlainCopySeconds(const std::string& from, const std::string& to, char* buffer) {
  const Clock::time_point start = Clock::now();
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) std::abort();
  for (;;) {
    const ssize_t got = read(in, buffer, kBuffer);
    if (got < 0) std::abort();
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t n = write(out, buffer + done, static_cast<size_t>(got - done));
      if (n <= 0) std::abort();
      done += n;
    }
  }
  if (fdatasync(out) != 0) std::abort();
  close(in);
  close(out);
  return Seconds(start);
}

// An application reading the placeholder through the platform's file calls.
bool ReadBack(const std::string& path, uint64_t size, char* buffer) {
  const std::u16string wide = corvane::platform::local::FromNativePath(path);
  const platform::Handle h = platform::CreateFileW(wide.c_str(), platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                   nullptr, platform::OPEN_EXISTING, 0, platform::INVALID_HANDLE_VALUE);
  if (h == platform::INVALID_HANDLE_VALUE) return false;
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    platform::DWORD got = 0;
    const auto want = static_cast<platform::DWORD>(std::min<uint64_t>(kBuffer, size - done));
    ok = platform::ReadFile(h, buffer, want, &got, done) && got > 0;
    done += got;
  }
  platform::CloseHandle(h);
  return ok;
}

bool SameBytes(const std::string& path, const std::string& bytes, char* buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint64_t at = 0;
  bool same = true;
  for (ssize_t got; same && (got = pread(fd, buffer, kBuffer, static_cast<off_t>(at))) > 0; at += got)
    same = at + got <= bytes.size() && std::memcmp(buffer, bytes.data() + at, static_cast<size_t>(got)) == 0;
  close(fd);
  return same && at == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : corvane::bench::Rounds(6);
  const uint64_t size = mib << 20;
  TempSpace space(corvane::bench::WorkDir());
  const std::string bytes = corvane::e2e::RemoteBytes(size, 42);
  const std::string source = space.base() + "/source.bin";
  if (!WriteWhole(source, bytes)) return 1;
  std::unique_ptr<char[]> buffer(new char[kBuffer]);

  ProviderHost host(space.root());
  host.put_size = 1u << 20;  // a host that hands over 1 MiB buffers
  if (host.Config("WindowsCreatePlaceholdersOnDemand=true") != 0 || host.Start() != 0) {
    std::fprintf(stderr, "provider did not start\n");
    return 1;
  }
  corvane::platform::local::Client client(space.root());
  std::printf("hydration: %llu MiB in %s, %d rounds\n", static_cast<unsigned long long>(mib),
              corvane::bench::WorkDir().c_str(), rounds);
  const double mb = static_cast<double>(size) / 1e6;
  const auto baseline = [&] {
    sync();
    WarmMemory(space.base(), size, buffer.get());
    const std::string copy = space.base() + "/copy.bin";
    const double seconds = PlainCopySeconds(source, copy, buffer.get());
    std::remove(copy.c_str());
    return mb / seconds;
  };
  int serial = 0;
  bool failed = false;
  std::string remote = bytes;
  // One placeholder hydrated one way; the host's time and requests are shown.
  const auto library = [&](bool read_back) {
    const std::string name = "hydrate-" + std::to_string(++serial) + ".bin";
    const std::string path = space.root() + "/" + name;
    // The host's buffer is the same memory every round, as a host's own
    // buffers are: freshly mapped memory costs several times more to read
    // on a virtual machine.
    if (host.AddRemoteFile(name, std::move(remote)) != 0) std::abort();
    sync();
    WarmMemory(space.base(), size, buffer.get());
    host.handler_ns = 0;
    host.requests = 0;
    const Clock::time_point start = Clock::now();
    const bool ok = read_back ? ReadBack(path, size, buffer.get()) : client.Hydrate(name) == 0;
    Flush(path);
    const double seconds = Seconds(start);
    if (!ok || !SameBytes(path, bytes, buffer.get())) {
      std::fprintf(stderr, "hydration of %s failed or read wrong bytes\n", name.c_str());
      failed = true;
    }
    std::printf("    %lld requests, %.2f s inside the host's handler\n", static_cast<long long>(host.requests.load()),
                static_cast<double>(host.handler_ns.load()) / 1e9);
    std::remove(path.c_str());
    remote = host.Take(name);
    return mb / seconds;
  };
  const std::string fs = corvane::bench::WorkDir();
  corvane::bench::Comparison read_back("hydration " + std::to_string(mib) + " MiB, read back (" + fs + ")", "MB/s",
                                       true, 0.7);
  read_back.Run(rounds, [&] { return library(true); }, baseline);
  read_back.Report();
  corvane::bench::Comparison hydrate("hydration " + std::to_string(mib) + " MiB, hydrate call (" + fs + ")", "MB/s",
                                     true, 0.7);
  hydrate.Run(rounds, [&] { return library(false); }, baseline);
  hydrate.Report();
  corvane::bench::ReportMemory("hydration peak RSS (" + std::to_string(mib) + " MiB file in memory)",
                               corvane::bench::PeakRssMiB(), "MiB");
  host.Deactivate();
  return failed ? 1 : 0;
}
