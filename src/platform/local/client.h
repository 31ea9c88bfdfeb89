// The applications' side of the local cloud-files platform: what a user's
// program does to files in a sync root (list, read, write, rename, pin ...),
// with the same waiting for the provider that Windows imposes on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/files.h"

namespace corvane::platform::local {

struct ClientEntry {
  std::string name;
  bool is_folder = false;
  uint64_t size = 0;
  DWORD attributes = 0;
  CF_PLACEHOLDER_STATE state = CF_PLACEHOLDER_STATE_NO_STATES;
};

struct ItemState {
  bool is_folder = false;
  bool placeholder = false;
  bool in_sync = false;
  CF_PIN_STATE pin = CF_PIN_STATE_UNSPECIFIED;
  bool populated = false;  // folders: on-demand population is done
  uint64_t size = 0;
  std::vector<CF_FILE_RANGE> hydrated;  // files: ranges whose data is on disk
  std::string identity;                 // raw identity bytes
  DWORD attributes = 0;
  std::string sync_root;  // the registered root the item is in, if any
  std::string provider;   // its provider's name and version
  int64_t progress_total = 0;  // last progress the provider reported, if any
  int64_t progress_completed = 0;

  bool FullyHydrated() const;
  // Several lines of "key: value" text for people.
  std::string ToText() const;
  // One line: "in-sync=yes pin=pinned data=partial" ("populated=no" for
  // folders, "placeholder=no" for other items).
  std::string Summary() const;
};

// One application session on a sync root. Paths are native Linux paths;
// relative ones are taken relative to the sync root. Every call returns a
// Win32 error code (0 on success); ErrorText() turns it into a sentence.
class Client {
 public:
  explicit Client(std::string sync_root);

  const std::string& sync_root() const { return root_; }

  // Lists a folder, asking the provider for its placeholders first when it
  // is a placeholder folder that is not populated yet.
  DWORD List(const std::string& folder, std::vector<ClientEntry>& entries);
  // Reads [offset, offset+length) (clipped at the end of the file), waiting
  // for the provider to transfer ranges that are not on disk.
  DWORD Read(const std::string& path, uint64_t offset, uint64_t length, std::string& data);
  DWORD ReadAll(const std::string& path, std::string& data);
  // A plain application write. Touched ranges of a dehydrated placeholder
  // are hydrated first; the item is no longer in sync afterwards.
  DWORD Write(const std::string& path, uint64_t offset, std::string_view data);
  // Replaces the whole content.
  DWORD WriteAll(const std::string& path, std::string_view data);
  DWORD CreateFile(const std::string& path, std::string_view data);

  // One open file for a run of reads and writes, as a mounted file system
  // keeps per open: the provider hears of one open and one close, not of
  // one per call. ReadAt and WriteAt wait for the provider as Read and
  // Write do; `done` is short only at the end of the file. WriteAt at
  // kWriteAtEnd appends.
  DWORD Open(const std::string& path, bool write, bool create_new, Handle& file);
  DWORD ReadAt(Handle file, uint64_t offset, size_t length, char* buffer, size_t& done);
  DWORD WriteAt(Handle file, uint64_t offset, std::string_view data);
  // Makes [offset, offset+length) present as a read would, for a caller
  // that then reads the descriptor itself (a splice to the kernel). When
  // that range is missing, up to `window` bytes from `offset` are asked for
  // at once: a program reading on needs them next.
  DWORD Fetch(Handle file, uint64_t offset, uint64_t length, uint64_t window, int& descriptor);
  // A new length, as an application's change: what stays of a dehydrated
  // range is fetched first, so the kept bytes are the real ones.
  DWORD Truncate(Handle file, uint64_t size);
  // Unix times; a negative second leaves that time as it is.
  DWORD SetTimes(Handle file, int64_t access_s, int64_t access_ns, int64_t write_s, int64_t write_ns);
  void Close(Handle file);
  // A placeholder folder that is not populated asks its provider first.
  DWORD Populate(const std::string& folder);
  DWORD CreateFolder(const std::string& path);
  // Deletes a file, or a folder (with its content when `recursive`).
  DWORD Delete(const std::string& path, bool recursive);
  DWORD Rename(const std::string& from, const std::string& to, bool replace_existing);
  // Pin state only: the provider reacts to it; pinning does not hydrate here.
  DWORD Pin(const std::string& path);
  DWORD Unpin(const std::string& path);
  DWORD Hydrate(const std::string& path);
  DWORD Dehydrate(const std::string& path);
  DWORD State(const std::string& path, ItemState& state);

  // The native path a client path stands for.
  std::string Resolve(const std::string& path) const;

  static std::string ErrorText(DWORD error);

 private:
  std::string root_;
};

}  // namespace corvane::platform::local
