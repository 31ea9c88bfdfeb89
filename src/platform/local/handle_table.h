// Handles of the local platform: small integers that stand for an open file,
// folder or folder search, as HANDLE values do on Windows. Never reused.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace corvane::platform::local {

struct OpenItem {
  enum class Kind { kFile, kFind };
  Kind kind = Kind::kFile;
  int fd = -1;
  std::string path;  // native path at open time
  bool is_dir = false;
  bool readable = false;
  bool writable = false;
  bool notify_close = false;  // the provider was told of the open
  bool path_only = false;     // `fd` is an O_PATH descriptor (attributes only)
  // The descriptor's device and inode as read when it was opened (inode 0:
  // not read then), for the item's state lock.
  uint64_t dev = 0;
  uint64_t ino = 0;
  std::vector<WIN32_FIND_DATAW> found;
  size_t next = 0;

  ~OpenItem();
};

Handle RegisterHandle(std::shared_ptr<OpenItem> item);
// Null (and ERROR_INVALID_HANDLE as the last error) for an unknown handle.
std::shared_ptr<OpenItem> LookupHandle(Handle handle, OpenItem::Kind kind);
std::shared_ptr<OpenItem> ReleaseHandle(Handle handle, OpenItem::Kind kind);

}  // namespace corvane::platform::local
