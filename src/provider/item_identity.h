// The identity a placeholder stores: the item id as UTF-16 text with its
// NUL (all that GetItemIdByPath gives back as the id), then the time the
// item took that id. Item ids are paths, and a path names whatever stands
// at it now: a rename the host took before that time moved an earlier item
// of the name, not this one. Identities written before the time was kept
// end at the NUL, and count as taken at time 0.
//
// One more unit may follow the time: marks that must outlive the process
// and the item's renames (IdentityMark). A new version from the host clears
// them; an item in sync disregards them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// Now, as 100 ns units of the system clock; strictly increasing within the
// process, so that of two moments here the later one always counts later.
int64_t IdentityTime();

enum IdentityMark : uint16_t {
  // The server replaced the version whose data the file lacks while it held
  // local changes: a read filling the missing ranges from the new version
  // would make a file of both.
  kMarkBaseReplaced = 1,
};

class ItemIdentity {
 public:
  explicit ItemIdentity(std::u16string_view item_id, int64_t since = IdentityTime(), uint16_t marks = 0);
  const void* data() const { return blob_.data(); }
  uint32_t length() const { return static_cast<uint32_t>(blob_.size() * sizeof(char16_t)); }

  // Splits what a placeholder stores into the id, the time it was taken
  // (0 when not kept) and the marks.
  static void Parse(const char16_t* stored, size_t units, std::u16string& item_id, int64_t& since,
                    uint16_t* marks = nullptr);

 private:
  std::u16string blob_;
};

}  // namespace corvane
