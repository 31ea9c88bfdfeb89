// What the last stop knew, for the start's walk: the platform sees nothing
// of what users did while no provider ran, and a delete leaves nothing on
// disk to show it.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/metadata_cache.h"

namespace corvane {

class Engine;

class LastStop {
 public:
  LastStop() = default;
  // `items`: the items the host had at the last stop.
  explicit LastStop(std::vector<KnownItem> items);
  // Before the walk: the known items a rename the host finished after a
  // stop had cancelled it took away, whose names hold another item now.
  void NoteReplacedNames(Engine& engine);
  // The walk found the item the host has at `host_path` moved elsewhere
  // (all below it too, for a folder).
  void Claim(const std::u16string& host_path);
  // The host took the move of a folder from `from` to `to`: what it held is
  // there now, or was deleted while stopped.
  void FolderMoved(const std::u16string& from, const std::u16string& to);
  // The start told the move of a folder from `from` to `to`, and the host
  // has not answered: what is gone from it is told once the host takes it.
  void FolderMoveUnanswered(const std::u16string& from, const std::u16string& to);
  // The item the host had at exactly `path`, unless a move (its own or its
  // folder's) took it away: a new item made there is another one. Null
  // when there was none.
  const KnownItem* StillHostsAt(const std::u16string& path) const;
  // Reports the delete of every item that is gone from the root and that
  // no move claims, once for a folder and what it held. Runs after the
  // walk, so that the moves reach the host first.
  void ReportDeletes(Engine& engine) const;

 private:
  bool Claimed(const std::u16string& path) const;
  // Whether a move claims `path` or a folder above it that is below `top`
  // ("": any folder above it).
  bool ClaimedBelow(const std::u16string& path, const std::u16string& top) const;
  // An item below a folder whose move waits for the host: its delete is
  // handed to the move if it is gone and no other move claims it.
  void OweDeleteAfterMove(Engine& engine, const std::u16string& root, const KnownItem& item) const;
  // Where the host has the item it had at `path` now, after the folder moves.
  std::u16string HostPathNow(std::u16string path) const;

  std::vector<KnownItem> items_;          // by path
  std::unordered_set<std::u16string> moved_;  // ASCII letters folded
  std::vector<std::pair<std::u16string, std::u16string>> folder_moves_;  // in the order the host took them
  std::vector<std::pair<std::u16string, std::u16string>> unanswered_moves_;
  std::unordered_map<std::u16string, std::u16string> replaced_;  // known path -> where the host has its item
};

}  // namespace corvane
