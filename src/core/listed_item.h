// One item a host reported for a listing, as the engine keeps it and the
// placeholder work makes it.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// One item a host reported for a listing.
struct ListedItem {
  std::u16string Name;
  int64_t Size = 0;
  int64_t CreationTime = 0;
  int64_t LastAccessTime = 0;
  int64_t LastWriteTime = 0;
  uint32_t Attributes = 0;
};

}  // namespace corvane
