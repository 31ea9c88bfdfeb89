// The attributes a change record should carry: the full view of the file
// layer (pinned, unpinned, placeholder bits), not just what stat() shows.
#pragma once

#include "platform/directory_changes.h"

namespace corvane::platform {

AttributeReader FileLayerAttributeReader();

}  // namespace corvane::platform
