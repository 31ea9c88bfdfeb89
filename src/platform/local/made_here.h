// Items this process's platform has just made (placeholders), with the id
// each was given, by folder id and name. A change record of such an item's
// creation carries that id even when the item has moved on before the
// record is read, as Windows records carry the id an item had when the
// change happened: it tells the host's new item from an older one that
// passed through the same name. The note also keeps the item as it was
// made, which the record reports without reading the item again.
#pragma once

#include <cstdint>
#include <string>

#include "platform/local/local_item.h"

namespace corvane::platform::local {

// Noting costs a look at the folder, so it is done only while a watch is open.
bool MadeHereWanted();
void OpenedWatch();
void ClosedWatch();

void NoteMadeHere(int64_t folder_id, const std::string& name, const LocalItem& item);
// The item noted for `name` in folder `folder_id`, taken out; false when none.
bool TakeMadeHere(int64_t folder_id, const std::string& name, LocalItem& item);
// The item noted did not appear after all.
void ForgetMadeHere(int64_t folder_id, const std::string& name);

}  // namespace corvane::platform::local
