// Items the host made through its methods whose own change record the
// watcher has not reached yet. A removal of such a name that comes before
// that record is of an older item, gone before the host made its own: the
// host's item may have moved on since, out of reach of any check of the name.
// The host's record is told from an older item's by the file id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/mutex.h"

namespace corvane {

class UnseenCreations {
 public:
  // The host starts making an item at `path`: the watcher may reach its
  // record before the call that makes it returns.
  void Begin(std::u16string_view path);
  // Ends what Begin started: `file_id` is the id of the item the host made
  // (0 when it made none, or its id could not be read).
  void Add(std::u16string_view path, int64_t file_id);
  // The watcher reached a record of an item with `file_id` at `path`.
  void Seen(std::u16string_view path, int64_t file_id);
  // The name, and any below it, no longer holds the host's item (deleted or
  // moved away).
  void Forget(std::u16string_view path);
  // Forgets every mark: the records of items made before the watcher
  // stopped were seen or never will be.
  void Clear();
  bool Contains(std::u16string_view path) const;
  // Between Begin and Add: the host's call is making an item at `path`.
  bool BeingMade(std::u16string_view path) const;
  // The host's item made at `path` is another than the item with `file_id`
  // (0 when unknown: then nobody can tell, and the answer is no).
  bool HeldByAnother(std::u16string_view path, int64_t file_id) const;

 private:
  // The record comes within moments; one never seen (its item gone before
  // the watcher read it) must not hold the name for long.
  static constexpr int64_t kLifetimeMs = 60000;
  struct Made {
    int64_t file_id = 0;
    int64_t made_ms = 0;
  };
  // The mark at `path` while it lives, or null.
  const Made* LiveAt(std::u16string_view path) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::unordered_map<std::u16string, Made> made_ GUARDED_BY(mutex_);
  // Names being made, with the id of a record reached meanwhile (0: none);
  // such a record is the host's own, and a mark set after it would outlive it.
  std::unordered_map<std::u16string, int64_t> making_ GUARDED_BY(mutex_);
};

}  // namespace corvane
