// Changes the host made itself through methods, so that the local change
// they cause does not come back to the host as an event. One set per OpType;
// the update set counts, since each update method call produces its own
// change notification.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "support/mutex.h"

namespace corvane {

class LogSink;

enum OpType : int32_t {
  kOpDelete = 0,
  kOpCreate = 1,
  kOpReset = 2,
  kOpUpdate = 3,
  kOpRename = 4,
  kOpList = 5,
  kOpReadData = 6,
};

class PendingOperations {
 public:
  // `enabled` is the AvoidFiringEventsForMethods setting, read on every call.
  PendingOperations(LogSink* sink, const std::atomic<bool>& enabled);

  // A rename's mark keeps its `target`: another item may take the source
  // name (by another of the host's renames) and be moved on by the user
  // before the records of the host's own rename are handled.
  bool AddPending(std::u16string_view path, int32_t op_type, bool is_dir, std::u16string_view target = {});
  // Consumes an exact entry, or answers true for an entry of a parent folder
  // (which stays, since further children may follow); updates match only
  // their own item. Given a `target`, an exact rename entry matches only
  // the rename to it.
  bool CheckPendingOrRemove(std::u16string_view path, int32_t op_type, bool is_dir,
                            std::u16string_view target = {});
  // Drops the file entry or else the folder entry of `path`, whatever its count.
  bool RemoveAll(std::u16string_view path, int32_t op_type);

  // Forgets every mark: the echoes of changes made before the watcher
  // stopped were seen or never will be.
  void Clear();

  // A rename of the host's whose records are still to come ends at `path`
  // or above it: the host's item stands there now, whatever went before.
  bool RenameInto(std::u16string_view path) const;

  // Count of the exact key (0 when absent); for tests and diagnostics.
  uint32_t CountOf(std::u16string_view path, int32_t op_type, bool is_dir) const;

 private:
  // The echo of the host's change comes within moments; a mark older than
  // this lost its echo and would only swallow a later change of the user's.
  static constexpr int64_t kMarkLifetimeMs = 60000;
  struct Mark {
    uint32_t count = 0;
    int64_t made_ms = 0;
    std::u16string target;
  };
  struct Set {
    mutable Mutex mutex;
    std::map<std::u16string, Mark> keys GUARDED_BY(mutex);
  };

  static bool ValidOpType(int32_t op_type) { return op_type >= kOpDelete && op_type <= kOpReadData; }

  LogSink* sink_;
  const std::atomic<bool>& enabled_;
  std::array<Set, 7> sets_;
};

}  // namespace corvane
