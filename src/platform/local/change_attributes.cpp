#include "platform/change_attributes.h"

namespace corvane::platform {

// The local watch reads each item's file-layer view itself, in the same read
// as the record's other values: no reader is needed on top.
AttributeReader FileLayerAttributeReader() { return {}; }

}  // namespace corvane::platform
