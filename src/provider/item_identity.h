// The identity a placeholder stores: the item id as UTF-16 text with its
// NUL (all that GetItemIdByPath gives back as the id), then the time the
// item took that id. Item ids are paths, and a path names whatever stands
// at it now: a rename the host took before that time moved an earlier item
// of the name, not this one. Identities written before the time was kept
// end at the NUL, and count as taken at time 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// Now, as 100 ns units of the system clock; strictly increasing within the
// process, so that of two moments here the later one always counts later.
int64_t IdentityTime();

class ItemIdentity {
 public:
  explicit ItemIdentity(std::u16string_view item_id, int64_t since = IdentityTime());
  const void* data() const { return blob_.data(); }
  uint32_t length() const { return static_cast<uint32_t>(blob_.size() * sizeof(char16_t)); }

  // Splits what a placeholder stores into the id and the time it was taken
  // (0 when not kept).
  static void Parse(const char16_t* stored, size_t units, std::u16string& item_id, int64_t& since);

 private:
  std::u16string blob_;
};

}  // namespace corvane
