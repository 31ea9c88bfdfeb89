// The shell's last-sync-error mark of an item (PKEY_LastSyncError): a hint in
// the file manager that the item failed to sync.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace corvane::platform {

// Sets the mark (E_FAIL) or clears it on the item at `path` (Windows form).
// Clearing an item without a mark succeeds.
HRESULT SetLastSyncErrorMark(std::u16string_view path, bool set);

// S_OK with `marked` telling whether the item carries the mark; an error
// HRESULT when the item cannot be read.
HRESULT GetLastSyncErrorMark(std::u16string_view path, bool& marked);

}  // namespace corvane::platform
