// What the engine knows and is set to, below the placeholder work that reads
// and marks it: diagnostics, settings, lifecycle flags, the metadata cache,
// the sync root's path and connection, and the marks of the engine's own
// changes. The engine is built on it; the placeholder work takes only this,
// so it cannot reach the engine's tasks, threads or the host's events except
// through the one call it declares here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/engine_settings.h"
#include "core/engine_state.h"
#include "core/metadata_cache.h"
#include "core/path_locks.h"
#include "core/shared_text.h"
#include "diag/diagnostics.h"
#include "platform/files.h"
#include "support/mutex.h"
#include "support/owned.h"

namespace corvane {

class PlaceholderManager;
struct SyncRootConnection;

class EngineCore {
 public:
  explicit EngineCore(LogSink* log_sink);
  virtual ~EngineCore() = default;
  EngineCore(const EngineCore&) = delete;
  EngineCore& operator=(const EngineCore&) = delete;

  Diagnostics diag;
  std::atomic<uint32_t> code_page{65001};  // every 8-bit string at the boundary

  // Lifecycle flags and settings.
  EngineState state;
  EngineSettings settings;

  // The last known properties of items.
  MetadataCache metadata_cache{diag.log_sink()};

  // Made by the lifecycle (Initialize), gone once uninitialised.
  Owned<PlaceholderManager> placeholder_manager = NoOwned<PlaceholderManager>();
  // The connection of the sync root while the provider is launched.
  Owned<SyncRootConnection> root_connection = NoOwned<SyncRootConnection>();

  // Held from the cache check to the end of a new-item report, so that the
  // watcher's records and a rescan never both report the same item.
  PathLocks item_reports;
  // The item's stripe is held while the engine marks it as its own work (the
  // cache entry's Locked flag) or ends that work by writing the entry, and
  // while change processing reads it together with its entry: a comparison
  // sees the item and the entry both before or both after the engine's
  // change. A batch of the engine's items holds every stripe.
  PathLocks own_changes ACQUIRED_AFTER(item_reports);

  // Copies: any thread may Set them while another reads.
  std::u16string SyncRootIcon() const { return sync_root_icon_.Get(); }
  std::u16string SyncRootLabel() const { return sync_root_label_.Get(); }
  std::u16string SyncRootPath() const { return sync_root_path_.Get(); }
  // SyncRootPath joined with ItemDomain when that is set.
  std::u16string EffectiveSyncRootPath() const;

  // A listing found the local copy of a file written after the host's
  // version: the host is sent that copy as an update instead of it being
  // overwritten. `local` is what the file's handle reported; `whole` tells
  // that all its data is on disk. 0 unless the in-sync state could not be
  // changed. The engine answers it with its tasks, retries and events.
  virtual int32_t SendNewerLocalVersion(std::u16string_view full_path, std::u16string_view relative_path,
                                        const platform::BY_HANDLE_FILE_INFORMATION& local, int64_t creation_time,
                                        int64_t last_access_time, int32_t attributes, bool whole) = 0;

 protected:
  SharedText sync_root_icon_;
  SharedText sync_root_label_;
  SharedText sync_root_path_;
};

}  // namespace corvane
