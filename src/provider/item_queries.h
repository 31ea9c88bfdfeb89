// The item operations behind the attribute, status and sync methods.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;

// Paths are relative to the sync root.
int32_t GetItemAttributes(Engine& engine, std::u16string_view path, bool is_folder, int32_t* attributes);
int32_t SetItemAttributes(Engine& engine, std::u16string_view path, bool is_folder, int32_t attributes);
int32_t GetItemStatus(Engine& engine, std::u16string_view path, int32_t* status);
int32_t SyncItem(Engine& engine, std::u16string_view path);

}  // namespace corvane
