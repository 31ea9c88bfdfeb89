// Resident size of a provider that knows 100,000 and 1,000,000 items: one
// component, its metadata cache filled as a listing fills it (paths in a
// hundred folders), measured from /proc and from the allocator.
#include <malloc.h>

#include <cstdio>
#include <string>

#include "bench_common.h"
#include "component/component.h"
#include "halvex/corvane.h"

namespace {

int32_t Sink(void*, int32_t, int32_t, intptr_t*, int32_t*) { return 0; }

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

int main() {
  void* handle = Halvex_Corvane_Create(&Sink, nullptr, nullptr, 0);
  corvane::MetadataCache& cache = static_cast<corvane::Component*>(handle)->engine.metadata_cache;
  const double rss_start = corvane::bench::RssMiB();
  const size_t heap_start = mallinfo2().uordblks;
  std::printf("memory: empty provider %.1f MiB resident, load %s\n", rss_start, corvane::bench::LoadText().c_str());
  int added = 0;
  for (const int target : {100000, 1000000}) {
    for (; added < target; ++added) {
      const std::u16string name = Wide("listed-item-" + std::to_string(added) + ".dat");
      const std::u16string path = Wide("\\folder-" + std::to_string(added % 100) + "\\") + name;
      cache.AddNewItemToCache(path, name, 0x20, 1000 + added, 1, 2, 3);
    }
    const double rss = corvane::bench::RssMiB();
    const double heap_per_item = static_cast<double>(mallinfo2().uordblks - heap_start) / target;
    std::printf("%d known items: %.1f MiB resident (%.0f bytes per item), heap %.0f bytes per item\n", target, rss,
                (rss - rss_start) * (1 << 20) / target, heap_per_item);
    corvane::bench::ReportMemory("provider resident, " + std::to_string(target) + " known items", rss, "MiB");
    corvane::bench::ReportMemory("metadata cache heap per item, " + std::to_string(target) + " items", heap_per_item,
                                 "bytes");
  }
  Halvex_Corvane_Destroy(handle);
  return 0;
}
