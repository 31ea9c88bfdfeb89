// Arbitrary bytes as one buffer of directory-change records: every record the
// walk accepts lies wholly inside the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "watcher/change_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> buffer(data, data + size);
  const auto* begin = buffer.data();
  for (const corvane::ChangeRecord* record : corvane::SplitChangeRecords(buffer)) {
    const auto* at = reinterpret_cast<const uint8_t*>(record);
    const size_t end = static_cast<size_t>(at - begin) + offsetof(corvane::ChangeRecord, FileName) +
                       record->FileNameLength;
    if (end > buffer.size()) std::abort();
    const std::u16string rel = corvane::RelativePathOf(*record);
    if (rel.size() != 1 + record->FileNameLength / 2) std::abort();
  }
  return 0;
}
