// The setters of one placeholder's sync, pin and excluded state, and the
// file version that decides whether a taken change leaves it in sync.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class EngineCore;

// Paths are relative to the sync root.
int32_t DoSetPlaceholderSyncState(EngineCore& engine, std::u16string_view relative_path, bool synced);
// In sync after the host took the file version of `size` bytes written at
// `last_write_time`, but only while the file is still that version: one
// edited since stays not in sync until its own change is taken. A folder,
// or a negative `size`, is marked at once. A `file_id` of 0 or more must
// also still be the item's: another file moved to that path is not it. A
// `usn` other than 0 must be the file's still; the platform checks it as it
// sets the state, so a write landing after the checks here still counts.
int32_t MarkTakenVersionInSync(EngineCore& engine, std::u16string_view relative_path, int64_t size,
                               int64_t last_write_time, int64_t file_id = -1, int64_t usn = 0);
// A file's size, last-write time, file-system id and update sequence number
// now; size -1 when it cannot be read, usn 0 where the platform has none.
struct FileVersion {
  int64_t size = -1;
  int64_t last_write_time = 0;
  int64_t file_id = -1;
  int64_t usn = 0;
  bool folder = false;
};
// Without `with_usn` the number is left 0, and the read costs the platform's
// state lock no more.
FileVersion ReadFileVersion(EngineCore& engine, std::u16string_view relative_path, bool with_usn = true);
// The `size` of an update that carried no content over local changes the
// host never took: its completion leaves the file not in sync.
constexpr int64_t kContentNotTaken = INT64_MIN;
int32_t DoSetPlaceholderExcludedState(EngineCore& engine, std::u16string_view relative_path, bool excluded);
int32_t IsItemExcluded(EngineCore& engine, std::u16string_view relative_path, bool* excluded);
int32_t DoSetPlaceholderPinnedState(EngineCore& engine, std::u16string_view path, bool pinned);
// Sets (or clears) the item's last-sync-error mark; failures are swallowed.
void SetItemErrorMark(EngineCore& engine, std::u16string_view full_path, bool set);

}  // namespace corvane
