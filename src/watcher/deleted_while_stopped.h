// Deletes made while the provider was stopped, found at the next start by
// what the last stop knew: the platform sees none of them happen.
#pragma once

#include <string>
#include <vector>

#include "core/metadata_cache.h"

namespace corvane {

class Engine;

// Reports the delete of every item of `known` (the items the host had at
// the last stop) that is gone from the root, once for a folder and what it
// held. `claimed`: the paths the host has the items by that the start's
// walk found moved; an item moved while stopped is not deleted. Runs after
// that walk, so that the moves reach the host first.
void ReportDeletedWhileStopped(Engine& engine, std::vector<KnownItem> known, const std::vector<std::u16string>& claimed);

}  // namespace corvane
