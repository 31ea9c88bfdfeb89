// Delete, rename and reset (dehydrate) of local placeholders on the host's
// request. Paths are relative to the effective sync root.
#include "engine/delete_rename_reset.h"

#include <string>
#include <string_view>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/event_bridges.h"
#include "engine/exclusion.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/types.h"
#include "provider/placeholder_manager.h"
#include "provider/placeholder_requests.h"

namespace corvane {
namespace {

using platform::DWORD;

constexpr const char* kTextInvalidLocalPath = "Invalid local path specified";
constexpr const char* kTextFileHasLocalChanges =
    "The file has local changes that the host has not received; it is kept as it is";
constexpr const char* kTextFolderHasLocalChanges =
    "The folder holds local changes that the host has not received; it is kept as it is";

const char16_t* Bool(bool value) { return value ? u"true" : u"false"; }
uint32_t U32(int32_t value) { return static_cast<uint32_t>(value); }

// A relative path that stays inside the root: it begins with a backslash and
// has no "." or ".." component. The root itself ("\") passes only when
// `allow_root` is set.
bool InsideRoot(std::u16string_view path, bool allow_root) {
  if (path.empty() || path[0] != u'\\') return false;
  if (path.size() == 1) return allow_root;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view part = path.substr(start, end - start);
    if (part == u"." || part == u"..") return false;
    if (part.empty() && end != path.size()) return false;
    start = end + 1;
  }
  return true;
}

// Drops a trailing separator so the root joins cleanly.
std::u16string FullPath(Engine& engine, std::u16string_view path) {
  std::u16string full = engine.EffectiveSyncRootPath();
  std::u16string_view rel = path;
  if (rel.size() > 1 && rel.back() == u'\\') rel.remove_suffix(1);
  if (rel != u"\\") full += rel;
  return full;
}

bool IsDots(const std::u16string& name) { return name == u"." || name == u".."; }

constexpr DWORD kReparseTagSymlink = 0xA000000C;

// Whether `full` is a symbolic link (or otherwise resolves elsewhere than
// where it is named): it is removed as a file and never followed, since its
// target may lie outside the root. The listing may report a link with its
// target's attributes, so the canonical path is compared as well.
bool IsLink(const std::u16string& full, DWORD attributes, DWORD reparse_tag) {
  if ((attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) != 0 && reparse_tag == kReparseTagSymlink) return true;
  const size_t slash = full.find_last_of(u'\\');
  if (slash == std::u16string::npos) return false;
  std::u16string canonical, parent;
  if (!platform::GetLongPathName(full, canonical)) return false;
  if (!platform::GetLongPathName(full.substr(0, slash), parent)) return false;
  return canonical != parent + full.substr(slash);
}

bool IsFolderEntry(const std::u16string& full, DWORD attributes, DWORD reparse_tag = 0) {
  return (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(full, attributes, reparse_tag);
}

bool IsPinned(DWORD attributes) { return (attributes & platform::FILE_ATTRIBUTE_PINNED) != 0; }

int32_t AttributesFailed(Engine& engine, const std::u16string& full) {
  const uint32_t os_error = platform::GetLastError();
  engine.diag.SetOsLastError(os_error);
  LogF(engine.diag.log_sink(), kLogFailure, u"Failed to get attributes for '%s'. OS error code: 0x%x", full, os_error);
  return engine.diag.RecordCode(kErrLocalItemNotFound);
}

int32_t ListingFailed(Engine& engine, const std::u16string& full) {
  const uint32_t os_error = platform::GetLastError();
  engine.diag.SetOsLastError(os_error);
  LogF(engine.diag.log_sink(), kLogFailure, u"Failed to search for directory content: '%s'. OS error: 0x%x", full,
       os_error);
  return engine.diag.RecordCode(kErrLocalItemNotFound);
}

bool DeleteLocalFile(Engine& engine, const std::u16string& full) {
  const DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) {
    engine.diag.SetOsLastError(platform::GetLastError());
    return false;
  }
  // Through a link the attributes are the target's, which stay untouched.
  if ((attributes & platform::FILE_ATTRIBUTE_READONLY) != 0 && !IsLink(full, attributes, 0)) {
    platform::SetFileAttributesW(full.c_str(), platform::FILE_ATTRIBUTE_NORMAL);
  }
  if (!platform::DeleteFileW(full.c_str())) {
    engine.diag.SetOsLastError(platform::GetLastError());
    return false;
  }
  return true;
}

int32_t DeleteLocalFolder(Engine& engine, const std::u16string& full, bool delete_children) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Finding files in folder: '%s'", full);
  const std::u16string pattern = full + u"\\*";
  platform::WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return ListingFailed(engine, full);
  int32_t result = kOk;
  do {
    if (IsDots(data.cFileName)) continue;
    if (!delete_children) {
      LogF(sink, kLogVerbose, u"Directory is not empty and DeleteChildren flag is not set for '%s'", full);
      result = engine.diag.RecordCode(kErrOperationDenied);
      break;
    }
    const std::u16string child = full + u"\\" + data.cFileName;
    if (IsFolderEntry(child, data.dwFileAttributes, data.dwReserved0)) {
      result = DeleteLocalFolder(engine, child, true);
    } else if (!DeleteLocalFile(engine, child)) {
      result = kErrOsCallFailed;
    }
  } while (result == kOk && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  if (result == kOk && !platform::RemoveDirectoryW(full.c_str())) {
    engine.diag.SetOsLastError(platform::GetLastError());
    result = kErrOsCallFailed;
  }
  LogF(sink, kLogVerbose, u"Deleting folder finished for '%s'. Result: 0x%x", full, U32(result));
  return result;
}

// Whether deleting `full` would lose what the host has not received, here or
// anywhere below a folder: a placeholder not in sync (a file's content, or a
// folder the host never took), or an item that is not a placeholder yet (new,
// its report to the host still to come) unless it is one the host is never
// shown.
bool HoldsLocalChanges(Engine& engine, const std::u16string& full, std::u16string_view relative, DWORD attributes,
                       DWORD reparse_tag) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr || IsLink(full, attributes, reparse_tag)) return false;
  const platform::CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(full.c_str());
  if (state == platform::CF_PLACEHOLDER_STATE_INVALID) return false;  // gone meanwhile
  if ((state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) == 0) return !KeptFromHost(engine, relative, attributes);
  if ((state & platform::CF_PLACEHOLDER_STATE_IN_SYNC) == 0) return true;
  if ((attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  const std::u16string pattern = full + u"\\*";
  platform::WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    if (!IsDots(data.cFileName))
      found = HoldsLocalChanges(engine, full + u"\\" + data.cFileName,
                                std::u16string(relative) + u"\\" + data.cFileName, data.dwFileAttributes,
                                data.dwReserved0);
  } while (!found && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  return found;
}

int32_t DoClearFilePlaceholder(Engine& engine, const std::u16string& full, std::u16string_view relative,
                               bool pinned) {
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoClearFilePlaceholder: '%s'", full);
  if (pinned) {
    // Reached only with ResetPinnedFiles on: the file becomes unpinned and
    // the platform may free its data later.
    const DWORD attributes = platform::GetFileAttributesW(full.c_str());
    if (attributes == platform::INVALID_FILE_ATTRIBUTES ||
        !platform::SetFileAttributesW(
            full.c_str(), (attributes & ~platform::FILE_ATTRIBUTE_PINNED) | platform::FILE_ATTRIBUTE_UNPINNED)) {
      engine.diag.SetOsLastError(platform::GetLastError());
      return kErrOsCallFailed;
    }
    return kOk;
  }
  if (!engine.placeholder_manager) return kErrNotReady;
  HydrateRequest request;
  request.path = full.c_str();
  request.starting_offset = 0;
  request.length = 0x7FFFFFFFFFFFFFFF;
  request.flags = 0;
  const HRESULT hr = engine.placeholder_manager->DehydratePlaceholder(&request);
  engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
  if (hr != 0) return kErrOsCallFailed;
  int32_t answer = kOk;
  DoFileReset(engine, std::u16string(relative), false, answer);
  return kOk;
}

int32_t ResetPlaceholdersInFolder(Engine& engine, const std::u16string& full, const std::u16string& relative) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Resetting placeholders in folder: '%s'", full);
  const std::u16string pattern = full + u"\\*";
  platform::WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return ListingFailed(engine, full);
  const bool reset_pinned = engine.settings.reset_pinned_files.load();
  const std::u16string prefix = relative == u"\\" ? std::u16string() : relative;
  int32_t result = kOk;
  do {
    if (IsDots(data.cFileName)) continue;
    const std::u16string child = full + u"\\" + data.cFileName;
    const std::u16string child_relative = prefix + u"\\" + data.cFileName;
    const bool pinned = IsPinned(data.dwFileAttributes);
    if (pinned && !reset_pinned) {
      LogF(sink, kLogVerbose, u"Skipping pinned placeholder '%s'", child);
      continue;
    }
    if (IsLink(child, data.dwFileAttributes, data.dwReserved0)) {
      continue;  // nothing of ours to reset behind a link
    } else if ((data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0) {
      result = ResetPlaceholdersInFolder(engine, child, child_relative);
    } else {
      result = DoClearFilePlaceholder(engine, child, child_relative, pinned);
    }
  } while (result == kOk && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  if (result == kOk) {
    int32_t answer = kOk;
    DoFileReset(engine, relative, true, answer);
  }
  LogF(sink, kLogVerbose, u"Resetting placeholders in folder finished for '%s'. Result: 0x%x", full, U32(result));
  return result;
}

}  // namespace

int32_t DoDeletePlaceholder(Engine& engine, std::u16string_view path, bool delete_children) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogFailure, u"DoDeletePlaceholder called for (%s), delete children(%s)", path, Bool(delete_children));
  if (!InsideRoot(path, false)) return engine.diag.Record(kErrInvalidParameter, kTextInvalidLocalPath);
  const std::u16string full = FullPath(engine, path);
  LogF(sink, kLogVerbose, u"Deleting local file '%s'", full);
  const DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return AttributesFailed(engine, full);
  const bool folder = IsFolderEntry(full, attributes);
  // All or nothing: a half-deleted folder would be neither the host's
  // version nor the user's.
  if ((!folder || delete_children) && HoldsLocalChanges(engine, full, path, attributes, 0)) {
    LogF(sink, kLogFailure, u"Refused to delete '%s': it holds local changes the host has not received", full);
    return engine.diag.Record(kErrOperationDenied, folder ? kTextFolderHasLocalChanges : kTextFileHasLocalChanges);
  }
  int32_t result = kOk;
  if (folder) {
    result = DeleteLocalFolder(engine, full, delete_children);
  } else if (!DeleteLocalFile(engine, full)) {
    result = kErrOsCallFailed;
  }
  LogF(sink, kLogVerbose, u"Deleting file finished for '%s'. Result: 0x%x", full, U32(result));
  if (result != kOk) return engine.diag.RecordCode(result);
  return kOk;
}

int32_t DoRenamePlaceholder(Engine& engine, std::u16string_view path, std::u16string_view new_path,
                            bool overwrite) {
  LogSink* sink = engine.diag.log_sink();
  // The item keeps its identity; its id is shown for the log only.
  LogF(sink, kLogVerbose, u"DoRenamePlaceholder OldPath(%s), ItemID(%s)", path, u"");
  LogF(sink, kLogVerbose, u"DoRenamePlaceholder NewPath(%s), Overwrite(%s)", new_path, Bool(overwrite));
  if (!InsideRoot(path, false) || !InsideRoot(new_path, false))
    return engine.diag.Record(kErrInvalidParameter, kTextInvalidLocalPath);
  const std::u16string from = FullPath(engine, path);
  const std::u16string to = FullPath(engine, new_path);
  LogF(sink, kLogVerbose, u"Renaming local '%s' to '%s'", from, to);
  const DWORD attributes = platform::GetFileAttributesW(from.c_str());
  const bool folder = attributes != platform::INVALID_FILE_ATTRIBUTES && IsFolderEntry(from, attributes);
  const DWORD flags = overwrite && !folder ? platform::MOVEFILE_REPLACE_EXISTING : 0;
  if (!platform::MoveFileExW(from.c_str(), to.c_str(), flags)) {
    const uint32_t os_error = platform::GetLastError();
    engine.diag.SetOsLastError(os_error);
    LogF(sink, kLogFailure, u"Failed to rename '%s'. OS error code 0x%x", from, os_error);
    return engine.diag.RecordCode(kErrOsCallFailed);
  }
  LogF(sink, kLogVerbose, u"Renamed local '%s' to '%s' successfully", from, to);
  return kOk;
}

int32_t DoClearPlaceholder(Engine& engine, std::u16string_view path) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"DoClearPlaceholder: '%s'", path);
  if (!InsideRoot(path, true)) return engine.diag.Record(kErrInvalidParameter, kTextInvalidLocalPath);
  const std::u16string full = FullPath(engine, path);
  LogF(sink, kLogVerbose, u"Resetting local placeholder '%s'", full);
  const DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return AttributesFailed(engine, full);
  int32_t result = kOk;
  const bool pinned = IsPinned(attributes);
  if (IsLink(full, attributes, 0)) {
    LogF(sink, kLogVerbose, u"Skipping link '%s'", full);
  } else if (pinned && !engine.settings.reset_pinned_files.load()) {
    LogF(sink, kLogVerbose, u"Skipping pinned placeholder '%s'", full);
  } else if (IsFolderEntry(full, attributes)) {
    std::u16string relative(path);
    if (relative.size() > 1 && relative.back() == u'\\') relative.pop_back();
    result = ResetPlaceholdersInFolder(engine, full, relative);
  } else {
    result = DoClearFilePlaceholder(engine, full, path, pinned);
  }
  LogF(sink, kLogVerbose, u"Resetting local placeholder finished for '%s'. Result: 0x%x", full, U32(result));
  if (result != kOk) return engine.diag.RecordCode(result);
  return kOk;
}

}  // namespace corvane
