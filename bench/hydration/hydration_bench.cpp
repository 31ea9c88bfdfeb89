// Hydration throughput: bytes go from the host's buffers into a dehydrated
// placeholder and are read back by an application, against a plain copy of
// the same bytes between two files on the same disk, in the same run.
// Usage: bench_hydration [size_in_MiB (default 1024)] [rounds (default 2)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_hydration/provider_host.h"
#include "platform/local/client.h"

namespace {

using corvane::e2e::ProviderHost;
using corvane::e2e::TempSpace;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool WriteWhole(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The baseline: read one file and write another in 4 MiB steps.
double PlainCopySeconds(const std::string& from, const std::string& to) {
  std::string buffer(4u << 20, '\0');
  const Clock::time_point start = Clock::now();
  FILE* in = std::fopen(from.c_str(), "rb");
  FILE* out = std::fopen(to.c_str(), "wb");
  if (in == nullptr || out == nullptr) std::abort();
  std::setvbuf(in, nullptr, _IONBF, 0);
  std::setvbuf(out, nullptr, _IONBF, 0);
  for (;;) {
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) break;
    if (std::fwrite(buffer.data(), 1, got, out) != got) std::abort();
  }
  std::fclose(in);
  std::fclose(out);
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  const uint64_t size = mib << 20;
  TempSpace space;
  const std::string bytes = corvane::e2e::RemoteBytes(size, 42);
  const std::string source = space.base() + "/source.bin";
  if (!WriteWhole(source, bytes)) return 1;

  ProviderHost host(space.root());
  host.put_size = 1u << 20;  // a host that hands over 1 MiB buffers
  if (host.Config("WindowsCreatePlaceholdersOnDemand=true") != 0 || host.Start() != 0) {
    std::fprintf(stderr, "provider did not start\n");
    return 1;
  }
  corvane::platform::local::Client client(space.root());
  std::printf("size %llu MiB, %d rounds\n", static_cast<unsigned long long>(mib), rounds);
  std::vector<double> ratios;
  for (int round = 1; round <= rounds; ++round) {
    // Both runs start without dirty pages of the other waiting for writeback.
    sync();
    const std::string copy = space.base() + "/copy.bin";
    const double plain = PlainCopySeconds(source, copy);
    std::remove(copy.c_str());

    const std::string name = "hydrate-" + std::to_string(round) + ".bin";
    if (host.AddRemoteFile(name, bytes) != 0) return 1;
    std::string read;
    sync();
    host.handler_ns = 0;
    host.requests = 0;
    const Clock::time_point start = Clock::now();
    const uint32_t rc = client.ReadAll(name, read);
    const double hydrate = Seconds(start);
    if (rc != 0 || read != bytes) {
      std::fprintf(stderr, "hydration failed: %u (%s), %zu bytes read\n", rc,
                   corvane::platform::local::Client::ErrorText(rc).c_str(), read.size());
      return 1;
    }
    read.clear();
    read.shrink_to_fit();
    std::remove((space.root() + "/" + name).c_str());
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("round %d: plain copy %.1f MB/s (%.2f s), hydration %.1f MB/s (%.2f s), ratio %.2f\n", round,
                mb / plain, plain, mb / hydrate, hydrate, plain / hydrate);
    ratios.push_back(plain / hydrate);
    std::printf("         %lld requests, %.2f s inside the host's handler\n", static_cast<long long>(host.requests.load()),
                static_cast<double>(host.handler_ns.load()) / 1e9);
  }
  std::sort(ratios.begin(), ratios.end());
  if (!ratios.empty()) std::printf("median ratio %.2f (hydration / plain copy throughput)\n", ratios[ratios.size() / 2]);
  return 0;
}
