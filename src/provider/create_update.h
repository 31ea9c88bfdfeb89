// Making one local item agree with what the host describes: create, convert
// or update its placeholder, then pin, hydrate and mark it in sync. Also the
// conversion of attribute bits between the component's form and the
// platform's. The small state setters of one placeholder are in
// create_update_states.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class EngineCore;
class PlaceholderManager;
struct ListedItem;

// Component attribute bits (read-only 0x2 ... folder 0x40000000) to platform
// attributes: 0 becomes FILE_ATTRIBUTE_NORMAL, pinned wins over unpinned.
uint32_t ToPlatformAttributes(int32_t attributes);
// The other way; FILE_ATTRIBUTE_NORMAL alone (or nothing) gives 0.
int32_t FromPlatformAttributes(uint32_t platform_attributes);

// Paths of the library: `relative` begins with '\'; "\" is the root itself.
std::u16string JoinItemPath(std::u16string_view parent, std::u16string_view name);
std::u16string FullPathOf(EngineCore& engine, std::u16string_view relative);
// The engine's placeholder manager, or null (recorded as "not active").
PlaceholderManager* ManagerOrRecord(EngineCore& engine);

// Not one of the host's flags: the item is a local file being taken in, so
// when it is gone by now (renamed or deleted since its record) nothing is
// made in its place.
constexpr int32_t kFlagExistingLocalItem = 0x10000;
// Not one of the host's flags either: only what is on disk is converted; a
// file gone by now (the user deleted it since its record) is not made again.
constexpr int32_t kFlagOnlyWhatIsOnDisk = 0x20000;
// Nor this: only the identity follows a folder's move. The cache keeps what
// the host was told of the item, so content written and not yet reported
// is still seen as a change.
constexpr int32_t kFlagIdentityOnly = 0x40000;

// `converted_usn`, when given, receives the change number of a local item
// converted here (0 for any other outcome, or where the platform keeps none).
int32_t DoCreateOrUpdatePlaceholder(EngineCore& engine, std::u16string_view parent_path, std::u16string_view item_name,
                                    std::u16string_view item_id, int64_t size, int64_t creation_time,
                                    int64_t last_access_time, int64_t last_write_time, int32_t attributes,
                                    int32_t flags, int64_t* converted_usn = nullptr);

// Whether the local copy was written after the item's last-write time; a
// newer local copy is sent to the host as UpdateFile instead, with new
// content (0x40) only when `whole` (all its data is on disk).
int32_t CheckLocalFileNewer(EngineCore& engine, std::u16string_view full_path, std::u16string_view relative_path,
                            int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                            int32_t attributes, bool whole, bool* newer, bool* locked);

int32_t DoHydratePlaceholder(EngineCore& engine, std::u16string_view full_path);

// One listed item on its way to the disk; `path` is its cache key, `added`
// tells that the cache did not know it before this listing.
struct ListedEntry {
  const ListedItem* item = nullptr;
  std::u16string path;
  bool added = false;
  bool made = false;  // a placeholder now, its cache entry filled
  // Known here and on disk when the listing was taken in: gone by the time
  // its placeholder is made, the user removed or moved it meanwhile.
  bool only_if_present = false;
};

// Makes the entries that are new files (not known, not to be downloaded or
// pinned) in batches, one platform call each, and sets `made` on those that
// became placeholders. The rest, and any the platform refused (one that
// exists already, say), are left to CreateListedItemPlaceholder.
void CreateNewListedFiles(EngineCore& engine, std::u16string_view parent_path, std::vector<ListedEntry>& entries);

}  // namespace corvane
