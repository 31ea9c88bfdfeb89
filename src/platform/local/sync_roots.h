// Sync-root registrations, one small file each under StateDir()/syncroots/,
// so that they outlive the process like the platform's own records.
#pragma once

#include <cstdint>
#include <string>

#include "platform/cloud_files.h"

namespace corvane::platform::local {

struct SyncRootRecord {
  std::string root;  // canonical native path
  std::u16string provider_name;
  std::u16string provider_version;
  std::string identity;
  CF_SYNC_POLICIES policies;
  CF_REGISTER_FLAGS flags = 0;
  int64_t root_file_id = 0;
};

bool SaveSyncRoot(const SyncRootRecord& record);
bool LoadSyncRootExact(const std::string& root, SyncRootRecord& record);
// The registration that `native_path` (canonical) is in: itself or its
// nearest registered ancestor.
bool FindSyncRootFor(const std::string& native_path, SyncRootRecord& record);
bool RemoveSyncRoot(const std::string& root);

// A short, stable name for a root (hash of its path), for state files and
// the provider socket, which must fit sun_path.
std::string RootKey(const std::string& root);
// StateDir()/sockets/<key>.sock and .lock ; empty when the folder fails.
std::string ProviderSocketPath(const std::string& root);
std::string ProviderLockPath(const std::string& root);

// realpath() when the path exists, else a lexical clean-up of it.
std::string CanonicalPath(const std::string& native_path);

}  // namespace corvane::platform::local
