// The items a stop keeps for the next start (KnownAtStop), carried from one
// process to the next in a file of the user's, one per sync root.
#pragma once

#include <string>
#include <vector>

#include "core/metadata_cache.h"

namespace corvane {

// Replaces the file of `root` with `items`; false when it cannot be written
// (nothing half-written is left behind).
bool SaveKnownItems(const std::u16string& root, const std::vector<KnownItem>& items);
// Reads the file of `root` and removes it: a list is good for one start.
// False, with `items` empty, when there is none or it is not whole.
bool LoadKnownItems(const std::u16string& root, std::vector<KnownItem>& items);
void DropKnownItems(const std::u16string& root);

}  // namespace corvane
