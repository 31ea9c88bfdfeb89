// Sync-root registrations, one small file each under StateDir()/syncroots/,
// so that they outlive the process like the platform's own records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// Every registered root.
std::vector<std::string> RegisteredRoots();

// A short, stable name for a root (hash of its path), for state files and
// the provider socket, which must fit sun_path.
std::string RootKey(const std::string& root);
// StateDir()/sockets/<key>.sock and .lock ; empty when the folder fails.
std::string ProviderSocketPath(const std::string& root);
std::string ProviderLockPath(const std::string& root);

// realpath() when the path exists, else a lexical clean-up of it.
std::string CanonicalPath(const std::string& native_path);

// A root served by the cloud-files mount: the mount takes the root's own
// path, so that every program goes through it, and the items move by one
// rename to a hidden sibling on the same file system (sparse data and
// state kept as they are). The platform itself works on that folder: its
// writes must not come back through the mount as the user's.
// "/home/ann/Cloud" -> "/home/ann/.Cloud.corvane-backing".
std::string BackingFolderOf(const std::string& root);
// Where the platform must touch `native` (absolute): in the backing folder
// when it is under a registered root whose backing folder exists (the
// rename is the one step that decides), else `native` itself.
std::string ToBackingPath(const std::string& native);
// Called by whoever moves a root's items to or from its backing folder:
// every process then maps the root's paths anew (as after a registration).
void NoteRootMoved();
// The reverse, for what leaves the platform and for registrations: a path
// in a registered root's backing folder as the root's path.
std::string ToRootPath(const std::string& native);

}  // namespace corvane::platform::local
