// Internals of the stand-in cloud-files service: the state that lasts (sync
// roots and placeholders, in one file shared by every process of a Wine
// prefix) and the live connections of this process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cf_types.h"

namespace standin {

constexpr int64_t kPage = 4096;

struct Range {
  int64_t begin = 0, end = 0;
};

struct Root {
  std::wstring path;  // full, no trailing separator
  uint64_t id = 0;    // file id of the root folder
  std::wstring name, version;
  std::string root_identity, file_identity;
  GUID provider_id{};
  CF_SYNC_POLICIES policies{};
};

struct Item {
  uint64_t root = 0;
  bool dir = false, in_sync = false, populated = true, always_full = false;
  DWORD pin = CF_PIN_STATE_UNSPECIFIED;
  std::string identity;
  int64_t size = 0;   // files: logical size the service last set
  int64_t stamp = 0;  // files: last-write time the service last set
  std::vector<Range> present;  // files: ranges whose data is on disk
  int64_t usn = 0;
  bool modified = false;  // written by an application since last in sync
};

struct State {
  std::vector<Root> roots;
  std::map<uint64_t, Item> items;  // by file id
  int64_t next_usn = 1;

  const Root* RootOf(const std::wstring& full_path) const;
  const Root* RootById(uint64_t id) const;
};

// Holds the prefix-wide lock, with the state loaded; Save() writes it back.
class Locked {
 public:
  Locked();
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  State& operator*() { return state_; }
  State* operator->() { return &state_; }
  void Save();

 private:
  State state_;
};

// Paths: full Windows form, without "\\?\" and without a trailing separator.
std::wstring FullPath(const wchar_t* path);
std::wstring PathOfHandle(HANDLE handle);
std::wstring VolumeRelative(const std::wstring& full);  // "\dir\file"
bool IsUnder(const std::wstring& path, const std::wstring& folder);  // folder itself included
bool SameText(const std::wstring& a, const std::wstring& b);

struct FileFacts {
  uint64_t id = 0;
  DWORD volume = 0;
  bool dir = false;
  int64_t size = 0;
  int64_t write_time = 0;
};
bool FactsOf(HANDLE handle, FileFacts& facts);
bool FactsOfPath(const std::wstring& path, FileFacts& facts);

// Brings an item up to date with what applications did to its file behind
// the service's back (Wine has no filter to tell it): a changed size or
// write time means not in sync, and a changed size rewritten, so all there.
void Refresh(Item& item, const FileFacts& facts, State& state);

void AddRange(std::vector<Range>& ranges, Range r);
void RemoveRange(std::vector<Range>& ranges, Range r);
void ClipRanges(std::vector<Range>& ranges, int64_t size);
int64_t PresentBytes(const std::vector<Range>& ranges);
// The first part of [begin, end) that is not present; empty when none.
Range FirstMissing(const std::vector<Range>& ranges, int64_t begin, int64_t end);

// File operations on an item's data that keep its metadata as it was.
// `via`: the caller's own handle, used when it allows writing (the documented
// calls expect an exclusive handle, which shuts the service's own opens out).
bool SetLogicalSize(const std::wstring& path, int64_t size, int64_t write_time, HANDLE via = nullptr);
bool ZeroRange(const std::wstring& path, Range r, int64_t write_time, HANDLE via = nullptr);
bool WriteData(const std::wstring& path, int64_t offset, const void* data, int64_t length, int64_t write_time);

// Shared by the API and the filter's answers to requests.
HRESULT CreatePlaceholder(State& state, const Root& root, const std::wstring& folder, CF_PLACEHOLDER_CREATE_INFO& info);
// Drops [r.begin, r.end) of a file's data (all of it for {0, INT64_MAX}).
HRESULT DehydrateItem(State& state, Item& item, const std::wstring& path, Range r, HANDLE via = nullptr);
// The placeholder item of a handle or path, refreshed; nullptr when none.
Item* ItemOf(State& state, const FileFacts& facts);

inline HRESULT FromWin32(DWORD e) { return HRESULT_FROM_WIN32(e); }
inline HRESULT LastError() { return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_GEN_FAILURE); }

// Milliseconds a data or listing request may stay unanswered before the
// service cancels it: 60 s, or CLDAPI_STANDIN_TIMEOUT_MS for tests.
DWORD RequestTimeoutMs();

}  // namespace standin
