// The attributes a change record should carry: the full view of the file
// layer (pinned, unpinned, placeholder bits), not just what stat() shows.
#pragma once

#include "platform/directory_changes.h"

namespace corvane::platform {

// Null where the watch's own records already carry that view.
AttributeReader FileLayerAttributeReader();

}  // namespace corvane::platform
