// Items this process's platform has just made (placeholders), with the id
// each was given, by folder id and name. A change record of such an item's
// creation carries that id even when the item has moved on before the
// record is read, as Windows records carry the id an item had when the
// change happened: it tells the host's new item from an older one that
// passed through the same name.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform::local {

// Noting costs a look at the folder, so it is done only while a watch is open.
bool MadeHereWanted();
void OpenedWatch();
void ClosedWatch();

void NoteMadeHere(int64_t folder_id, const std::string& name, int64_t file_id);
// The id noted for `name` in folder `folder_id`, taken out; 0 when none.
int64_t TakeMadeHere(int64_t folder_id, const std::string& name);

}  // namespace corvane::platform::local
