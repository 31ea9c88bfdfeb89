// Nanoseconds per call of the exported property and method calls, against a
// plain call through a function pointer, and of the platform's hot inner
// pieces: the byte-range set, the transfer stream, and the state stores with
// and without the data-safety stamp (one more attribute read and write per
// range store, one more read per listed file).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/transfer_stream.h"
#include "halvex/corvane.h"
#include "platform/local/byte_ranges.h"
#include "platform/local/placeholder_store.h"

namespace {

using corvane::platform::local::ByteRanges;

int32_t Sink(void*, int32_t, int32_t, intptr_t*, int32_t*) { return 0; }

struct Component {
  Component() : handle(Halvex_Corvane_Create(&Sink, nullptr, nullptr, 0)) {}
  ~Component() { Halvex_Corvane_Destroy(handle); }
  void* handle;
};

__attribute__((noinline)) intptr_t PlainGet(void* handle, int32_t id, int32_t index, int32_t* length, int64_t* v) {
  benchmark::DoNotOptimize(handle);
  return id + index + (length ? *length : 0) + (v ? 1 : 0);
}

void BM_BaselineCallThroughPointer(benchmark::State& state) {
  intptr_t (*volatile call)(void*, int32_t, int32_t, int32_t*, int64_t*) = &PlainGet;
  int32_t length = 0;
  for (auto _ : state) benchmark::DoNotOptimize(call(nullptr, HALVEX_PROP_SERIALIZE_EVENTS, 0, &length, nullptr));
}
BENCHMARK(BM_BaselineCallThroughPointer);

// A component with a label set, so that the string property has a value.
struct LabelledComponent : Component {
  LabelledComponent() {
    Halvex_Corvane_Set(handle, HALVEX_PROP_SYNC_ROOT_LABEL, 0, reinterpret_cast<intptr_t>("Benchmark label"), 0);
  }
};

void BM_GetProperty(benchmark::State& state, int32_t property) {
  LabelledComponent c;
  int32_t length = 0;
  for (auto _ : state) benchmark::DoNotOptimize(Halvex_Corvane_Get(c.handle, property, 0, &length, nullptr));
}
BENCHMARK_CAPTURE(BM_GetProperty, Int, HALVEX_PROP_SERIALIZE_EVENTS);
BENCHMARK_CAPTURE(BM_GetProperty, String, HALVEX_PROP_SYNC_ROOT_LABEL);

// Values the property takes in turn: 0 and 1, or the label.
void BM_SetProperty(benchmark::State& state, int32_t property, intptr_t value, intptr_t flip) {
  LabelledComponent c;
  for (auto _ : state) benchmark::DoNotOptimize(Halvex_Corvane_Set(c.handle, property, 0, value ^= flip, 0));
}
BENCHMARK_CAPTURE(BM_SetProperty, Int, HALVEX_PROP_SERIALIZE_EVENTS, 0, 1);
BENCHMARK_CAPTURE(BM_SetProperty, String, HALVEX_PROP_SYNC_ROOT_LABEL, reinterpret_cast<intptr_t>("Benchmark label"),
                  0);

void BM_DoConfigQuery(benchmark::State& state) {
  Component c;
  const char* query = "LogLevel";
  for (auto _ : state) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(query), 0};
    int32_t sizes[2] = {0, 0};
    benchmark::DoNotOptimize(Halvex_Corvane_Do(c.handle, HALVEX_METHOD_CONFIG, 1, params, sizes, nullptr));
  }
}
BENCHMARK(BM_DoConfigQuery);

// A file with a few ranges, as a partly hydrated one has.
ByteRanges SomeRanges() {
  ByteRanges ranges;
  for (uint64_t i = 0; i < 8; ++i) ranges.Add(i * (1 << 20), i * (1 << 20) + 409600);
  return ranges;
}

void BM_RangesAddAndMissing(benchmark::State& state) {
  for (auto _ : state) {
    ByteRanges ranges;
    for (uint64_t at = 0; at < 64 * 409600; at += 409600) {
      benchmark::DoNotOptimize(ranges.Missing(at, at + 409600));
      ranges.Add(at, at + 409600);
    }
    benchmark::DoNotOptimize(ranges.Covers(0, 64 * 409600));
  }
}
BENCHMARK(BM_RangesAddAndMissing);

void BM_TransferStreamWriteCompact(benchmark::State& state) {
  std::vector<char> put(1 << 20, 'x');
  corvane::TransferStream stream;
  for (auto _ : state) {
    stream.Write(put.data(), put.size());
    stream.Seek(stream.Size() / 409600 * 409600);
    stream.Compact();
    stream.Seek(stream.Size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(put.size()));
}
BENCHMARK(BM_TransferStreamWriteCompact);

// A file in TMPDIR (the file system decides the cost of attributes).
class StateFile {
 public:
  StateFile() {
    path_ = corvane::bench::WorkDir() + "/corvane-micro-XXXXXX";
    fd_ = mkstemp(path_.data());
    if (fd_ < 0 || ftruncate(fd_, 16 << 20) != 0) std::abort();
  }
  ~StateFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A range store as the platform makes it: ranges, size and time, stamp.
void BM_StoreRangesWithStamp(benchmark::State& state) {
  StateFile file;
  const ByteRanges ranges = SomeRanges();
  for (auto _ : state) benchmark::DoNotOptimize(corvane::platform::local::StoreRanges(file.fd(), ranges));
}
BENCHMARK(BM_StoreRangesWithStamp);

// The same store without the stamp: the ranges attribute alone.
void BM_StoreRangesWithoutStamp(benchmark::State& state) {
  StateFile file;
  const std::string bytes = SomeRanges().Encode();
  for (auto _ : state)
    benchmark::DoNotOptimize(fsetxattr(file.fd(), "user.corvane.ranges", bytes.data(), bytes.size(), 0));
}
BENCHMARK(BM_StoreRangesWithoutStamp);

// An application write's state: its ranges, after the item's change
// number, which the in-sync check compares against the version taken.
void BM_WriteStateWithChangeNumber(benchmark::State& state) {
  StateFile file;
  const ByteRanges ranges = SomeRanges();
  for (auto _ : state) {
    benchmark::DoNotOptimize(corvane::platform::local::CountDataChangeLocked(file.fd()));
    benchmark::DoNotOptimize(corvane::platform::local::StoreRanges(file.fd(), ranges));
  }
}
BENCHMARK(BM_WriteStateWithChangeNumber);

// What a listing reads per file, with the stamp and without it.
void BM_ListedFileWithStamp(benchmark::State& state) {
  StateFile file;
  corvane::platform::local::StoreRanges(file.fd(), SomeRanges());
  for (auto _ : state) {
    corvane::platform::local::DataView view;
    benchmark::DoNotOptimize(corvane::platform::local::LoadDataViewAt(file.path(), view));
  }
}
BENCHMARK(BM_ListedFileWithStamp);

void BM_ListedFileWithoutStamp(benchmark::State& state) {
  StateFile file;
  corvane::platform::local::StoreRanges(file.fd(), SomeRanges());
  for (auto _ : state) {
    ByteRanges ranges;
    struct stat st;
    benchmark::DoNotOptimize(corvane::platform::local::LoadRangesAt(file.path(), ranges));
    benchmark::DoNotOptimize(stat(file.path().c_str(), &st));
  }
}
BENCHMARK(BM_ListedFileWithoutStamp);

}  // namespace

BENCHMARK_MAIN();
