// What the mirror believes the server folder holds, and how a fresh scan
// differs from it. Polling is the portable way to notice changes that others
// make directly in the server folder; a real provider would get them from its
// store's change feed instead.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server_paths.h"

namespace mirror {

using Snapshot = std::map<std::string, ServerItem>;  // by server path

// Every mirrored item below `server_root`, folders included.
Snapshot ScanServer(const std::string& server_root);

struct ServerChange {
  enum Kind { kAdded, kRemoved, kModified, kRenamed };
  Kind kind;
  std::string path;      // kRenamed: the old path
  std::string new_path;  // kRenamed only
  ServerItem item;       // the item as it is now (the old one for kRemoved)
};

// Changes that turn `before` into `after`, in an order that can be applied
// one by one: renames, then removals, then additions (parents first), then
// content changes. A move keeps the inode, so it is reported as one rename;
// the items inside a renamed or removed folder are not reported again.
std::vector<ServerChange> DiffSnapshots(const Snapshot& before, const Snapshot& after);

// The last known state of the server folder, shared by the poller and by the
// uploads. The mirror's own writes are recorded here as they happen, so the
// poller does not hand them back to the sync root as "server changes".
class ServerIndex {
 public:
  void Reset(Snapshot snapshot);

  // A number that grows with every recorded write; take it before a scan.
  uint64_t Generation();

  // The mirror itself wrote, removed or renamed these server items.
  void RecordWrite(const std::string& path, const ServerItem& item);
  void RecordRemoval(const std::string& path);
  void RecordRename(const std::string& from, const std::string& to);

  // Compares a scan taken after Generation() returned `generation` with what
  // is known, adopts the scan, and returns the differences. Items that the
  // mirror wrote while the scan ran are left out this time: the scan may
  // have seen them half-way, and the next one settles them.
  std::vector<ServerChange> Reconcile(const Snapshot& scan, uint64_t generation);

 private:
  bool TouchedSince(const std::string& path, uint64_t generation) const;
  void Touch(const std::string& path);

  std::mutex mutex_;
  Snapshot known_;
  uint64_t generation_ = 0;
  std::map<std::string, uint64_t> touched_;  // path -> generation of the write
};

}  // namespace mirror
