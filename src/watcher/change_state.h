// What change processing keeps from one change record to the next: only the
// serialized worker touches it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace corvane {

struct ChangeState {
  // A full copy of a removal record that may still be the first half of a
  // move reported in the next batch; empty when none.
  std::vector<uint8_t> saved_remove;
  // The first half of a rename or move, waiting for its second half.
  std::u16string old_name;
  bool move_pending = false;
  // Unknown items gone before their record was read (oldest first, a few
  // hundred at most): moved away with their folder, perhaps, and then never
  // reported under the folder's new name.
  std::vector<std::u16string> vanished;
  // Names the user moved an item to (key) from a name the host knows
  // (value), whose records came after the host made an item of its own
  // there: later records of the name mean the moved item, until one of an
  // item added there (the host's own). A few at most.
  std::map<std::u16string, std::u16string> displaced;
  // Items whose names the host cannot be told, already reported as such.
  std::set<std::u16string> unrepresentable;
  // Known items found in folders still being checked as new, by the name
  // the host knows (MovedIntoNewFolder); looked for once per batch.
  bool new_folders_looked_through = false;
  std::map<std::u16string, std::u16string> moved_into_new_folders;
  // Folders this batch's records name as added or renamed to: one made and
  // renamed on before the watcher got to it is found only under its last
  // name, not reported yet, so no check of it as new runs yet.
  std::vector<std::u16string> folders_named;
};

}  // namespace corvane
