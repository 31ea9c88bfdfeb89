// The item operations behind the attribute, status and sync methods, and the
// checks and placeholders of the items a host lists.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;
struct ListedItem;

// Paths are relative to the sync root.
int32_t GetItemAttributes(Engine& engine, std::u16string_view path, bool is_folder, int32_t* attributes);
int32_t SetItemAttributes(Engine& engine, std::u16string_view path, bool is_folder, int32_t attributes);
int32_t GetItemStatus(Engine& engine, std::u16string_view path, int32_t* status);
int32_t SyncItem(Engine& engine, std::u16string_view path);

// A name that may become an item of a listed folder: one component, no
// character the platform forbids, no control character, not "." or "..".
bool ValidateItemName(Engine& engine, std::u16string_view name);
// The placeholder of one item a host listed in `parent_path`; with
// `only_if_present`, an item gone from disk is not made (kErrLocalItemNotFound).
int32_t CreateListedItemPlaceholder(Engine& engine, std::u16string_view parent_path, const ListedItem& item,
                                   bool only_if_present);

}  // namespace corvane
