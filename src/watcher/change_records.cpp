#include "watcher/change_records.h"

#include <cstddef>

namespace corvane {

std::vector<const ChangeRecord*> SplitChangeRecords(const std::vector<uint8_t>& buffer) {
  constexpr size_t kHeader = offsetof(ChangeRecord, FileName);
  std::vector<const ChangeRecord*> records;
  // The vector's storage is aligned for any scalar; offsets keep it so.
  size_t offset = 0;
  while (buffer.size() - offset >= kHeader) {
    const auto* record = reinterpret_cast<const ChangeRecord*>(buffer.data() + offset);
    const size_t name_bytes = record->FileNameLength;
    if (name_bytes % sizeof(char16_t) != 0 || name_bytes > buffer.size() - offset - kHeader) break;
    records.push_back(record);
    const size_t next = record->NextEntryOffset;
    if (next == 0 || next % 8 != 0 || next > buffer.size() - offset) break;
    offset += next;
  }
  return records;
}

std::u16string RelativePathOf(const ChangeRecord& record) {
  std::u16string rel(1, u'\\');
  rel.append(record.FileName, record.FileNameLength / sizeof(char16_t));
  return rel;
}

}  // namespace corvane
