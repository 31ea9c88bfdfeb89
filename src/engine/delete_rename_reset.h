// Delete, rename and reset (dehydrate) of local placeholders on the host's
// request.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;

// Paths are relative to the sync root.
int32_t DoDeletePlaceholder(Engine& engine, std::u16string_view path, bool delete_children);
int32_t DoRenamePlaceholder(Engine& engine, std::u16string_view path, std::u16string_view new_path,
                            bool overwrite);
int32_t DoClearPlaceholder(Engine& engine, std::u16string_view path);

}  // namespace corvane
