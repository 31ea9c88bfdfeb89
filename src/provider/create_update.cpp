#include "provider/create_update.h"

#include <chrono>
#include <mutex>

#include "core/engine_core.h"
#include "diag/result_codes.h"
#include "halvex/corvane.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/types.h"
#include "provider/create_update_states.h"
#include "provider/item_identity.h"
#include "provider/own_change.h"
#include "provider/placeholder_manager.h"
#include "support/sync_root_path.h"

namespace corvane {

using namespace platform;

namespace {

const char16_t* Bool(bool value) { return value ? u"true" : u"false"; }

// What one create-or-update asks for and what it found on disk.
struct Request {
  std::u16string_view parent;
  std::u16string_view name;
  std::u16string_view item_id;
  int64_t size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int32_t attributes = 0;
  int32_t flags = 0;

  std::u16string relative;
  std::u16string full;
  bool retrieving = false;
  int retrieve_mode = 0;
  bool is_dir = false;
  bool exists = false;
  bool placeholder = false;
  bool hydrated = false;
  // A placeholder file not in sync holds local changes the host has not
  // received: its data is never replaced, cut or declared in sync.
  bool local_changes = false;
  // With local changes: the IdentityMark bits of the placeholder.
  uint16_t identity_marks = 0;
  bool pinned_now = false;
  bool pin_requested = false;
  bool unpin_requested = false;

  bool Has(int32_t flag) const { return (flags & flag) != 0; }
  bool DropsData() const {
    return Has(HALVEX_FLAG_FORCE_UPDATE) && !Has(HALVEX_FLAG_FROM_LISTING) && !Has(HALVEX_FLAG_KEEP_DATA);
  }
};

// Outcome of the platform step: `platform_hr` non-zero means the create,
// convert or update call itself failed.
struct Outcome {
  HRESULT platform_hr = S_OK;
  int32_t result = kOk;
  bool done = false;        // nothing more to do (a skipped update)
  bool dehydrated = false;  // the update dropped the file's data
  bool edited_meanwhile = false;  // the file was edited while being updated
  USN converted_usn = 0;          // the converted file's change number (0: none)
  const char* message = nullptr;  // the failure's own text, if not the code's
};

// A file time as the short date and long time of the trace ("3/4/2021
// 9:05:07 AM", UTC).
std::u16string DateText(int64_t file_time) {
  using namespace std::chrono;
  const int64_t seconds = file_time / 10000000 - platform::kFileTimeUnixEpoch / 10000000;
  const sys_days day = floor<days>(sys_seconds(seconds * 1s));
  const year_month_day date(day);
  const int64_t in_day = seconds - duration_cast<std::chrono::seconds>(day.time_since_epoch()).count();
  const int64_t hour = in_day / 3600;
  return Format(u"%u/%u/%d %d:%02d:%02d %s", static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(date.year()), static_cast<int>(hour % 12 == 0 ? 12 : hour % 12),
                static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60), hour < 12 ? u"AM" : u"PM");
}

int32_t OsFailure(EngineCore& engine, uint32_t os_error) {
  engine.diag.SetOsLastError(os_error);
  return kErrOsCallFailed;
}

void WriteCacheAfterUpdate(EngineCore& engine, const Request& r) {
  engine.metadata_cache.UpdateProperties(r.relative, r.attributes != 0 ? r.attributes : -1, r.size, r.creation_time,
                                         r.last_access_time, r.last_write_time);
}

Outcome Create(EngineCore& engine, PlaceholderManager& manager, const Request& r) {
  LogSink* sink = engine.diag.log_sink();
  Outcome out;
  uint32_t placeholder_flags = 0;
  if (r.Has(HALVEX_FLAG_SUPERSEDE)) placeholder_flags |= CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE;
  if (r.Has(HALVEX_FLAG_MARK_SYNCED)) placeholder_flags |= CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  int64_t size = r.size;
  const uint32_t platform_attributes = ToPlatformAttributes(r.attributes);
  if (r.is_dir) {
    if (!engine.settings.windows_create_placeholders_on_demand.load()) {
      placeholder_flags |= CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION;
    }
    size = 0;
    // The platform turns an existing folder into a placeholder.
    const uint32_t on_disk = GetFileAttributesW(r.full.c_str());
    if ((on_disk == INVALID_FILE_ATTRIBUTES || (on_disk & FILE_ATTRIBUTE_DIRECTORY) == 0) &&
        !CreateDirectoryW(r.full.c_str(), nullptr)) {
      const uint32_t error = GetLastError();
      LogF(sink, kLogFailure, u"Failed to create directory '%s'. Error code: 0x%x", r.full, error);
      out.result = OsFailure(engine, error);
      return out;
    }
  }
  const std::u16string parent_full = FullPathOf(engine, r.parent);
  const std::u16string name(r.name);
  const ItemIdentity id(r.item_id);
  CreatePlaceholderRequest request;
  request.base_directory = parent_full.c_str();
  request.relative_name = name.c_str();
  request.file_size = size;
  request.creation_time = r.creation_time;
  request.last_access_time = r.last_access_time;
  request.last_write_time = r.last_write_time;
  request.change_time = r.last_write_time;
  request.file_attributes = platform_attributes;
  request.file_identity = id.data();
  request.file_identity_length = id.length();
  request.create_flags = 0;
  request.placeholder_flags = placeholder_flags;
  out.platform_hr = manager.CreatePlaceholder(&request);
  LogF(sink, kLogVerbose, u"Created placeholder '%s'. Error code: 0x%x", r.name, static_cast<uint32_t>(out.platform_hr));
  if (out.platform_hr != S_OK || !r.is_dir) return out;

  // The platform leaves a new folder with its own times; set the host's.
  Handle handle = CreateFileW(r.full.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    const uint32_t error = GetLastError();
    LogF(sink, kLogFailure, u"Failed to open existing file: '%s'. Error code: 0x%x", r.full, error);
    out.result = OsFailure(engine, error);
    return out;
  }
  FILE_BASIC_INFO info;
  info.CreationTime = r.creation_time;
  info.LastAccessTime = r.last_access_time;
  info.LastWriteTime = r.last_write_time;
  info.ChangeTime = r.last_write_time;
  info.FileAttributes = platform_attributes;
  const BOOL set = SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info));
  const uint32_t set_error = set ? 0 : GetLastError();
  CloseHandle(handle);
  if (!set) {
    LogF(sink, kLogFailure, u"Failed to set file information: '%s'. Error code: 0x%x", r.full, set_error);
    out.result = OsFailure(engine, set_error);
    return out;
  }
  if (r.Has(HALVEX_FLAG_MARK_SYNCED) || r.retrieving) {
    const int32_t rc = DoSetPlaceholderSyncState(engine, r.relative, r.Has(HALVEX_FLAG_MARK_SYNCED));
    if (rc != kOk) {
      LogF(sink, kLogFailure, u"Failed to SetPlaceholderSyncState for '%s'. Error code: 0x%x", r.relative,
           static_cast<uint32_t>(rc));
      out.result = rc;
    }
  }
  return out;
}

Outcome Convert(EngineCore& engine, PlaceholderManager& manager, const Request& r) {
  Outcome out;
  const ItemIdentity id(r.item_id);
  ConvertRequest request;
  request.path = r.full.c_str();
  request.file_identity = id.data();
  request.file_identity_length = id.length();
  // A local item being taken in is in sync only once the host has taken it:
  // until then (a retry or a slow answer) it must not be dehydrated, and its
  // content is all here, so its listing never goes to the host.
  const bool taken_in = r.Has(kFlagExistingLocalItem);
  // So is a file put over a known item with changes still to report: one
  // moved on before they are, under a name no record of it names now,
  // would keep the mark.
  const bool unreported = r.Has(kFlagOnlyWhatIsOnDisk) && !r.Has(HALVEX_FLAG_MARK_SYNCED);
  if (!r.retrieving && !taken_in && !unreported) request.convert_flags |= CF_CONVERT_FLAG_MARK_IN_SYNC;
  // Nor is a folder put over a known one: what it holds was made here.
  if (engine.settings.windows_create_placeholders_on_demand.load() && !taken_in && !r.Has(kFlagOnlyWhatIsOnDisk)) {
    request.convert_flags |= CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION;
  }
  out.platform_hr = manager.ConvertToPlaceholder(&request);
  out.converted_usn = request.usn;
  LogF(engine.diag.log_sink(), kLogVerbose, u"Existing file converted to placeholder: '%s'. Error code: 0x%x",
       r.relative, static_cast<uint32_t>(out.platform_hr));
  return out;
}

// The cache's mark is lost at the next start and with a rename the cache
// does not see; the identity's goes with the file.
void MarkBaseReplaced(EngineCore& engine, PlaceholderManager& manager, const Request& r) {
  engine.metadata_cache.SetBaseReplaced(r.relative, true);
  const HRESULT hr = manager.ChangeIdentityMarks(r.full.c_str(), kMarkBaseReplaced, 0);
  if (hr != S_OK)
    LogF(engine.diag.log_sink(), kLogFailure, u"Could not mark '%s' as lacking a replaced version: 0x%x", r.relative,
         static_cast<uint32_t>(hr));
}

Outcome Update(EngineCore& engine, PlaceholderManager& manager, const Request& r) {
  LogSink* sink = engine.diag.log_sink();
  Outcome out;
  if (!r.is_dir && r.pinned_now) {
    const uint32_t current = GetFileAttributesW(r.full.c_str());
    if (current == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(r.full.c_str(), current & ~FILE_ATTRIBUTE_PINNED)) {
      const uint32_t error = GetLastError();
      LogF(sink, kLogFailure, u"Failed to remove pinned attribute for '%s'. Error code: 0x%x", r.relative, error);
      out.result = OsFailure(engine, error);
      out.done = true;
      return out;
    }
  }
  if (!r.is_dir && r.Has(HALVEX_FLAG_FROM_LISTING) && (r.hydrated || r.local_changes)) {
    bool newer = false;
    bool locked = false;
    const int32_t rc = CheckLocalFileNewer(engine, r.full, r.relative, r.creation_time, r.last_access_time,
                                           r.last_write_time, r.attributes, r.hydrated, &newer, &locked);
    if (rc != kOk && locked) {
      LogF(sink, kLogVerbose,
           u"Failed to check if local file is newer for '%s'. The file is locked by another process. Skip it.",
           r.relative);
      out.done = true;
      return out;
    }
    if (rc != kOk) {
      LogF(sink, kLogFailure, u"Failed to check if local file is newer for '%s'. Error code: 0x%x", r.relative,
           static_cast<uint32_t>(rc));
      out.result = kErrOsCallFailed;
      out.done = true;
      return out;
    }
    if (newer) {
      LogF(sink, kLogVerbose, u"Local file is newer: '%s'. Skip update operation.", r.relative);
      out.done = true;
      return out;
    }
    if (r.local_changes) {
      LogF(sink, kLogVerbose, u"Local file has changes the host has not received: '%s'. Skip update operation.",
           r.relative);
      out.done = true;
      return out;
    }
  }
  int64_t size = r.size;
  // A local item the watcher reports keeps its own size, times and
  // attributes, so none are sent: the values it reports come from change
  // records, the file at the path may be another one by now, and even its
  // size read just now may be cut short by a program's write landing before
  // the update does.
  const bool taken_in = r.Has(kFlagExistingLocalItem) && !r.is_dir;
  if (r.local_changes && !taken_in) {
    if (r.DropsData() || r.retrieving) {
      LogF(sink, kLogFailure, u"Refused to replace the data of '%s': it has local changes the host has not received",
           r.relative);
      out.result = kErrOperationDenied;
      out.message = "The file has local changes that the host has not received; it is kept as it is";
      // What the file lacks belongs to the version the host just replaced:
      // filling it from the new one would make a file of both.
      if (r.DropsData()) MarkBaseReplaced(engine, manager, r);
      out.done = true;
      return out;
    }
  }
  uint32_t update_flags = 0;
  // An in-sync file may be edited after the state was read: the platform
  // checks again as it applies the update, and refuses it if so.
  const bool verify = !r.is_dir && r.placeholder && !r.local_changes && !r.retrieving;
  if (verify) update_flags |= CF_UPDATE_FLAG_VERIFY_IN_SYNC;
  if (r.Has(HALVEX_FLAG_MARK_SYNCED) && !r.local_changes) update_flags |= CF_UPDATE_FLAG_MARK_IN_SYNC;
  if (r.retrieving) update_flags |= CF_UPDATE_FLAG_CLEAR_IN_SYNC;
  if (r.is_dir) {
    if (!engine.settings.windows_create_placeholders_on_demand.load()) {
      update_flags |= CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION;
    }
    size = 0;
  } else if (r.DropsData()) {
    // The content changed remotely: the next read must fetch it again.
    update_flags |= CF_UPDATE_FLAG_DEHYDRATE;
    out.dehydrated = true;
  }
  // Local changes survive a metadata update, and so do the marks that say
  // what the server lacks of them.
  const ItemIdentity id(r.item_id, IdentityTime(), r.local_changes ? r.identity_marks : 0);
  UpdatePlaceholderRequest request;
  request.path = r.full.c_str();
  // Metadata only with local changes (a rename's completion, say): size,
  // times and attributes stay those of the local data. Not even the size is
  // passed as read now: a write landing before the update would be cut back.
  request.keep_metadata = taken_in || (r.local_changes && !r.is_dir);
  request.file_size = size;
  request.creation_time = r.creation_time;
  request.last_access_time = r.last_access_time;
  request.last_write_time = r.last_write_time;
  request.change_time = r.last_write_time;
  request.file_attributes = ToPlatformAttributes(r.attributes);
  request.file_identity = id.data();
  request.file_identity_length = id.length();
  request.update_flags = update_flags;
  out.platform_hr = manager.UpdatePlaceholder(&request);
  if (verify && out.platform_hr == HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC)) {
    LogF(sink, kLogVerbose, u"'%s' changed during the update; updating it as a file with local changes", r.relative);
    Request changed = r;
    changed.local_changes = true;
    Outcome again = Update(engine, manager, changed);
    again.edited_meanwhile = true;
    return again;
  }
  if (out.platform_hr != S_OK) {
    LogF(sink, kLogVerbose, u"Existing placeholder update failed for '%s'. Error code: 0x%x", r.relative,
         static_cast<uint32_t>(out.platform_hr));
  } else {
    if (!r.Has(kFlagIdentityOnly)) WriteCacheAfterUpdate(engine, r);
    LogF(sink, kLogVerbose, u"Existing placeholder updated for '%s'", r.relative);
  }
  return out;
}

// Pin, hydrate and in-sync work once the placeholder is there.
int32_t AfterPlatformStep(EngineCore& engine, const Request& r, bool hydration_needed, bool converted,
                          bool dehydrated) {
  LogSink* sink = engine.diag.log_sink();
  int32_t result = kOk;
  if (hydration_needed) {
    // A pinned file whose data the update dropped is downloaded again: a
    // pin promises the data stays on the device.
    const bool keep_pin = r.pinned_now && !r.unpin_requested;
    if ((!r.pinned_now || dehydrated) && !converted) {
      result = DoHydratePlaceholder(engine, r.full);
      if (result != kOk || !(r.pin_requested || keep_pin)) {
        LogF(sink, result != kOk ? kLogFailure : kLogVerbose, u"DoHydratePlaceholder for '%s'. Error code: 0x%x",
             r.relative, static_cast<uint32_t>(result));
      }
      if (result == kOk && (r.pin_requested || keep_pin)) {
        const uint32_t current = GetFileAttributesW(r.full.c_str());
        if (current == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(r.full.c_str(), current | FILE_ATTRIBUTE_PINNED)) {
          const uint32_t error = GetLastError();
          LogF(sink, kLogFailure, u"Failed to set file attributes (1) for '%s'. Error code: 0x%x", r.relative, error);
          result = OsFailure(engine, error);
        }
      }
    } else {
      // The update took the pin away; it comes back unless unpinning.
      uint32_t wanted = GetFileAttributesW(r.full.c_str());
      if (wanted != INVALID_FILE_ATTRIBUTES) {
        if (keep_pin || r.pin_requested) wanted = (wanted & ~FILE_ATTRIBUTE_UNPINNED) | FILE_ATTRIBUTE_PINNED;
        if (r.unpin_requested) wanted = (wanted & ~FILE_ATTRIBUTE_PINNED) | FILE_ATTRIBUTE_UNPINNED;
      }
      if (wanted == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(r.full.c_str(), wanted)) {
        const uint32_t error = GetLastError();
        LogF(sink, kLogFailure, u"Failed to set file attributes (2) for '%s'. Error code: 0x%x", r.relative, error);
        result = OsFailure(engine, error);
      }
    }
  }
  if (result == kOk && r.retrieving) {
    const int32_t rc = DoSetPlaceholderSyncState(engine, r.relative, true);
    if (rc != kOk) {
      LogF(sink, kLogVerbose, u"Existing placeholder update failed for '%s'. Error code: 0x%x", r.relative,
           static_cast<uint32_t>(rc));
      result = rc;
    } else {
      WriteCacheAfterUpdate(engine, r);
      LogF(sink, kLogVerbose, u"Existing placeholder updated for '%s'", r.relative);
    }
  }
  return result;
}

int32_t Finish(EngineCore& engine, const Request& r, int32_t result, const char* message = nullptr) {
  if (result == kOk) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"Placeholder create/update finished for '%s'. Result: Success",
         r.relative);
    return kOk;
  }
  LogF(engine.diag.log_sink(), kLogVerbose,
       u"Placeholder create/update finished for '%s'. Result: 0x%x, Windows error code 0x%x", r.relative,
       static_cast<uint32_t>(result), engine.diag.OsLastError());
  return engine.diag.Record(result, message != nullptr ? message : ResultMessage(result));
}

}  // namespace

int32_t DoCreateOrUpdatePlaceholder(EngineCore& engine, std::u16string_view parent_path, std::u16string_view item_name,
                                    std::u16string_view item_id, int64_t size, int64_t creation_time,
                                    int64_t last_access_time, int64_t last_write_time, int32_t attributes,
                                    int32_t flags, int64_t* converted_usn) {
  if (converted_usn != nullptr) *converted_usn = 0;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"DoCreateOrUpdatePlaceholder ParentPath(%s), ItemName(%s)", parent_path, item_name);
  LogF(sink, kLogVerbose, u"DoCreateOrUpdatePlaceholder ItemId(%s), Size(%I64u)", item_id, static_cast<uint64_t>(size));
  LogF(sink, kLogVerbose,
       u"DoCreateOrUpdatePlaceholder CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
       static_cast<uint64_t>(creation_time), static_cast<uint64_t>(last_access_time),
       static_cast<uint64_t>(last_write_time));
  LogF(sink, kLogVerbose, u"DoCreateOrUpdatePlaceholder Attributes(0x%08x), Flags(0x%08x)",
       static_cast<uint32_t>(attributes), static_cast<uint32_t>(flags));

  Request r;
  r.parent = parent_path;
  r.name = item_name;
  r.item_id = item_id;
  r.size = size;
  r.creation_time = creation_time;
  r.last_access_time = last_access_time;
  r.last_write_time = last_write_time;
  r.attributes = attributes;
  r.flags = flags;
  r.retrieving = (r.Has(HALVEX_FLAG_RETRIEVE) || r.Has(HALVEX_FLAG_UPDATE_EXISTING)) && !r.Has(HALVEX_FLAG_FROM_LISTING);
  if (r.Has(HALVEX_FLAG_MARK_SYNCED) && r.retrieving) {
    Log(sink, kLogFailure,
        u"Invalid combination of flags (RETRIEVE or HALVEX_FLAG_UPDATE_EXISTING, and MARK_SYNCED) specified in a "
        u"call to CreateItem or UpdateItem");
    return engine.diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;

  r.relative = JoinItemPath(parent_path, item_name);
  r.full = FullPathOf(engine, r.relative);
  r.retrieve_mode = r.Has(HALVEX_FLAG_RETRIEVE) ? 2 : (r.Has(HALVEX_FLAG_UPDATE_EXISTING) ? 1 : 0);
  r.is_dir = (static_cast<uint32_t>(attributes) & HALVEX_ATTR_DIRECTORY) != 0;
  LogF(sink, kLogVerbose, u"Creating or updating placeholder: '%s', retrieve mode: %d", r.relative, r.retrieve_mode);
  if (sink != nullptr && LogEnabled(kLogCloudTrace)) {
    LogF(sink, kLogCloudTrace, u"New dates: %s",
         Format(u"  Creation time: %s\n  Last access time: %s\n  Last write time: %s", DateText(creation_time),
                DateText(last_access_time), DateText(last_write_time)));
  }

  LogF(sink, kLogVerbose, u"Obtaining attributes of the file '%s'", r.full);
  const uint32_t on_disk = GetFileAttributesW(r.full.c_str());
  r.exists = on_disk != INVALID_FILE_ATTRIBUTES;
  r.pinned_now = r.exists && (on_disk & FILE_ATTRIBUTE_PINNED) != 0;
  r.pin_requested = (static_cast<uint32_t>(attributes) & HALVEX_ATTR_PINNED) != 0;
  r.unpin_requested = (static_cast<uint32_t>(attributes) & HALVEX_ATTR_UNPINNED) != 0;
  if (r.pin_requested && r.unpin_requested) {
    // Contradicting requests: neither reaches the platform.
    r.pin_requested = r.unpin_requested = false;
    r.attributes &= ~(HALVEX_ATTR_PINNED | HALVEX_ATTR_UNPINNED);
  }

  if (r.Has(HALVEX_FLAG_CREATE_NEW) && r.exists) {
    LogF(sink, kLogVerbose, u"File already exists '%s', but it should not exist according to method flags: %x0x",
         r.relative, static_cast<uint32_t>(flags));
    return engine.diag.Record(kErrItemExists, ResultMessage(kErrItemExists));
  }
  if (!r.exists && (r.Has(kFlagExistingLocalItem) || r.Has(kFlagOnlyWhatIsOnDisk))) {
    LogF(sink, kLogVerbose, u"'%s' no longer exists, not making a placeholder in its place", r.relative);
    return engine.diag.Record(kErrLocalItemNotFound, "The local item no longer exists");
  }
  if (r.exists) {
    LogF(sink, kLogVerbose, u"Checking if the placeholder '%s' is hydrated", r.relative);
    const CF_PLACEHOLDER_STATE state = manager->GetPlaceholderState(r.full.c_str());
    r.placeholder = state != CF_PLACEHOLDER_STATE_INVALID && (state & CF_PLACEHOLDER_STATE_PLACEHOLDER) != 0;
    r.hydrated = IsWholePlaceholder(state);
    r.local_changes = r.placeholder && (on_disk & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                      (state & CF_PLACEHOLDER_STATE_IN_SYNC) == 0;
    if (r.local_changes) {
      std::u16string stored_id;
      manager->GetItemIdByPath(r.full.c_str(), stored_id, nullptr, &r.identity_marks);
    }
  } else {
    LogF(sink, kLogVerbose, u"'%s' does not exist, not checking if it is a placeholder", r.relative);
  }
  if (r.Has(HALVEX_FLAG_FROM_LISTING) && r.placeholder) {
    bool excluded = false;
    if (manager->GetPlaceholderExcludedState(r.full.c_str(), excluded) != kOk) {
      LogF(sink, kLogFailure, u"Failed to get excluded state for '%s'. Error code: 0x%x", r.relative,
           static_cast<uint32_t>(kErrOsCallFailed));
      return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
    }
    if (excluded) return kOk;
  }
  // A file pinned now stays pinned (and local) through the update unless
  // the host unpins it.
  const bool hydration_needed =
      !r.is_dir && (r.retrieve_mode == 2 || (r.retrieve_mode == 1 && r.hydrated) || r.pin_requested ||
                    (r.pinned_now && !r.unpin_requested));
  LogF(sink, kLogVerbose, u"File exists: %s", Bool(r.exists));
  LogF(sink, kLogVerbose, u"Placeholder: %s", Bool(r.placeholder));
  LogF(sink, kLogVerbose, u"Hydrated: %s", Bool(r.hydrated));
  LogF(sink, kLogVerbose, u"Pinned: %s", Bool(r.pinned_now));
  LogF(sink, kLogVerbose, u"Force update: %s", Bool(r.Has(HALVEX_FLAG_FORCE_UPDATE)));

  if (r.Has(HALVEX_FLAG_FROM_LISTING) && r.exists && !r.placeholder && (on_disk & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    // A plain file where the host lists one is the user's (an editor's save
    // put over the placeholder, a file made under the same name): taken in
    // as the listed item it would be in sync with bytes the host never had.
    // It stays as it is; the cache keeps the host's values, so the watcher
    // offers it to the host as changed.
    LogF(sink, kLogVerbose, u"'%s' is a local file, not the host's: the listing leaves it as it is", r.relative);
    return Finish(engine, r, kOk);
  }
  OwnChange own_change(engine, r.relative, r.full);
  Outcome out;
  bool converted = false;
  if (r.Has(HALVEX_FLAG_FORCE_UPDATE) || (r.exists && r.placeholder)) {
    own_change.KeepsItemInPlace();
    out = Update(engine, *manager, r);
  } else if (!r.exists) {
    out = Create(engine, *manager, r);
  } else {
    out = Convert(engine, *manager, r);
    converted = true;
  }
  if (out.platform_hr != S_OK) {
    engine.diag.SetOsLastError(static_cast<uint32_t>(out.platform_hr));
    LogF(sink, kLogFailure, u"Placeholder create/update failed for '%s'. HRESULT: 0x%x, OS error code: 0x%x",
         r.relative, static_cast<uint32_t>(out.platform_hr), engine.diag.OsLastError());
    return Finish(engine, r, kErrOsCallFailed);
  }
  if (out.done || out.result != kOk) return Finish(engine, r, out.result, out.message);
  const int32_t result = AfterPlatformStep(engine, r, hydration_needed, converted, out.dehydrated);
  // An edit made during the update, or before an update of the identity
  // alone: the cache keeps the host's values, so that the edit is reported.
  // A local item taken in needs no read back: its create stores the values
  // it tells once the host answers.
  if (result == kOk && !out.edited_meanwhile && !r.Has(kFlagIdentityOnly) &&
      !(converted && r.Has(kFlagExistingLocalItem)))
    own_change.Succeeded();
  if (result == kOk && converted && converted_usn != nullptr) *converted_usn = out.converted_usn;
  return Finish(engine, r, result);
}

int32_t DoHydratePlaceholder(EngineCore& engine, std::u16string_view full_path) {
  LogF(engine.diag.log_sink(), kLogVerbose, u"DoHydratePlaceholder %s", full_path);
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string path(full_path);
  HydrateRequest request;
  request.path = path.c_str();
  request.starting_offset = 0;
  request.length = 0x7FFFFFFFFFFFFFFF;
  request.flags = 0;
  const HRESULT hr = manager->HydratePlaceholder(&request);
  engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
  return hr != S_OK ? kErrOsCallFailed : kOk;
}

}  // namespace corvane
