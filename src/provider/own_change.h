// The provider's own change of one item, from its first platform call to its
// last. Meanwhile the watcher skips the item's records (Locked); at the end
// the cache entry takes the item as the change left it, so that records of
// the change that are handled later compare equal and are not reported to
// the host as a local change. One platform change gives several records
// (data, times, attributes, state), often in more than one batch.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class EngineCore;

// An item's properties as the cache holds them, read from the item itself.
struct ShownItem {
  int32_t attributes = 0;
  int64_t size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t file_id = 0;
};
// False when the item cannot be opened or read.
bool ReadShownItem(const std::u16string& full, ShownItem& shown);
void RecordShownItem(EngineCore& engine, const std::u16string& relative, const ShownItem& shown);

class OwnChange {
 public:
  // `relative` is the cache key, `full` the item's path on disk.
  OwnChange(EngineCore& engine, const std::u16string& relative, const std::u16string& full);
  ~OwnChange();
  OwnChange(const OwnChange&) = delete;
  OwnChange& operator=(const OwnChange&) = delete;

  void Succeeded() { succeeded_ = true; }
  // The change is made to the item there now, in place: an item found
  // there at the end with another id replaced it meanwhile (an editor's
  // save), and is left to its own records, which then show its change.
  void KeepsItemInPlace();

 private:
  void RecordItemAsItIs();

  EngineCore& engine_;
  const std::u16string& relative_;
  const std::u16string& full_;
  bool known_ = false;
  bool was_locked_ = false;
  bool succeeded_ = false;
  int64_t item_id_ = 0;  // 0: not known, or the change may replace the item
};

}  // namespace corvane
