// Turns the records of the directory watcher into engine work: new local
// items, updates, deletions and renames become events for the host; changes
// the host made itself (pending list) and excluded items do not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/local_item_values.h"
#include "support/thread_annotations.h"
#include "watcher/change_records.h"

namespace corvane {

class CacheItem;
class DirectoryWatcher;
class Engine;

// Runs every record of one copied notification buffer; always 0.
int32_t ProcessChangeBatch(DirectoryWatcher& watcher, const std::vector<uint8_t>& buffer);
int32_t ProcessChange(DirectoryWatcher& watcher, const ChangeRecord& record, const ChangeRecord* next);
int32_t ProcessRemovedAction(DirectoryWatcher& watcher, const std::u16string& relative_path,
                             uint32_t platform_attributes);
int32_t ProcessRenameAction(DirectoryWatcher& watcher, const ChangeRecord& record,
                            const std::u16string& relative_path);
int32_t ProcessSavedRemoveAction(DirectoryWatcher& watcher);

// True while a reported rename to `relative_path` waits for the host.
bool HasRenameTask(Engine& engine, const std::u16string& relative_path);

// The host refused a rename the user made (any answer but done and retry):
// the item goes back where the host has it, or stops claiming to be in sync.
void AfterRefusedRename(Engine& engine, const std::u16string& old_name, const std::u16string& relative_path,
                        bool is_dir, int32_t answer);

// Reports the rename of the known item `old_name` (cache entry `cached`) to
// `relative_path` and moves its cache entry. `moved_file_id` is the item's id
// as the rename's record told it (0 when no record did). The caller holds
// every stripe of the engine's item_reports, so that the watcher and a
// rescan never both report it.
int32_t ReportLocalRename(Engine& engine, const std::u16string& old_name, const std::u16string& relative_path,
                          const std::u16string& full_path, const CacheItem& cached, int64_t moved_file_id)
    REQUIRES(engine.item_reports);

// A placeholder whose identity names a known item that is gone from its
// path is that item, moved, though no record showed the move: reported as
// that rename (into `result`), true. False when the item is no such one.
bool ReportedAsUnpairedMove(Engine& engine, const std::u16string& relative_path, const std::u16string& full_path,
                            const LocalItemValues& values, int32_t& result) REQUIRES(engine.item_reports);

// The update of a known item against its cache entry (also used by the
// rescan); `watcher` may be null when no new-folder check can be started.
int32_t UpdateLocalItem(Engine& engine, DirectoryWatcher* watcher, const std::u16string& relative_path,
                        const std::u16string& full_path, const LocalItemValues& values)
    EXCLUDES(engine.item_reports);

// Whether anything stands at `full_path` now.
bool PathExists(const std::u16string& full_path);

// An in-sync placeholder the host knows by this path (its identity names
// it; a listed folder has none) whose cache entry is gone, as after a
// restart: taken back into the cache instead of being offered as new.
// False when the item is no such placeholder.
bool AdoptKnownPlaceholder(Engine& engine, const std::u16string& relative_path, const std::u16string& full_path,
                           const LocalItemValues& values);

// The Error event for an item whose name the host cannot be told (it would
// read as another item's path); the item itself is never reported.
void ReportUnrepresentableName(Engine& engine, const std::u16string& relative_path);

// "FILE_ACTION_ADDED" ... ; "FILE_ACTION_UNKNOWN" outside the table.
const char16_t* FileActionName(uint32_t action);

}  // namespace corvane
