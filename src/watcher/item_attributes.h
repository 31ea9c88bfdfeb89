// The component's item attribute bits and the platform's file attributes,
// both ways, and the short text the logs use for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

int32_t ItemAttributesFromPlatform(uint32_t platform_attributes);
uint32_t PlatformAttributesFromItem(int32_t item_attributes);
// "dir,readonly,hidden,system,pinned" style; "file" for none.
std::u16string ItemAttributesText(int32_t item_attributes);

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace corvane
