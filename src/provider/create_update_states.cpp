// The setters of one placeholder's sync, pin and excluded state. A path that
// is not a placeholder has no such state: sync and pin changes skip it.
#include "provider/create_update_states.h"

#include "core/engine_core.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "platform/error_mark.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "provider/item_identity.h"
#include "provider/placeholder_manager.h"

namespace corvane {

using namespace platform;

namespace {

const char16_t* Bool(bool value) { return value ? u"true" : u"false"; }

bool IsPlaceholder(PlaceholderManager& manager, const std::u16string& full) {
  const CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  return state != CF_PLACEHOLDER_STATE_INVALID && (state & CF_PLACEHOLDER_STATE_PLACEHOLDER) != 0;
}

int32_t SetStates(EngineCore& engine, PlaceholderManager& manager, const std::u16string& full, uint32_t what,
                  CF_IN_SYNC_STATE in_sync, CF_PIN_STATE pin, CF_SET_PIN_FLAGS pin_flags) {
  PlaceholderStatesRequest request;
  request.path = full.c_str();
  request.what_to_set = what;
  request.in_sync_state = in_sync;
  request.in_sync_flags = 0;
  request.pin_state = pin;
  request.pin_flags = pin_flags;
  const int32_t rc = manager.SetPlaceholderStatesForProvider(&request);
  return rc == kOk ? kOk : engine.diag.Record(rc, ResultMessage(rc));
}

}  // namespace

int32_t DoSetPlaceholderSyncState(EngineCore& engine, std::u16string_view relative_path, bool synced) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Calling DoSetPlaceholderSyncState for '%s', synced: %s", relative_path, Bool(synced));
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, relative_path);
  if (!IsPlaceholder(*manager, full)) {
    LogF(sink, kLogVerbose, u"Path '%s' is not a placeholder, skipping it", relative_path);
    return kOk;
  }
  return SetStates(engine, *manager, full, kSetInSyncState,
                   synced ? CF_IN_SYNC_STATE_IN_SYNC : CF_IN_SYNC_STATE_NOT_IN_SYNC, CF_PIN_STATE_UNSPECIFIED, 0);
}

FileVersion ReadFileVersion(EngineCore& engine, std::u16string_view relative_path, bool with_usn) {
  const std::u16string full = FullPathOf(engine, relative_path);
  Handle handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
  FileVersion version;
  if (handle == INVALID_HANDLE_VALUE) return version;
  BY_HANDLE_FILE_INFORMATION info;
  // The number first: a write between the two reads then shows as a size or
  // time the number does not stand for, never the other way round.
  int64_t usn = 0;
  const bool numbered = with_usn && GetPlaceholderUsn(handle, &usn) != 0;
  const bool read = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!read) return version;
  version.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  version.size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  version.last_write_time = static_cast<int64_t>(info.ftLastWriteTime);
  version.file_id = static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  if (numbered && !version.folder) version.usn = usn;
  return version;
}

int32_t MarkTakenVersionInSync(EngineCore& engine, std::u16string_view relative_path, int64_t size,
                               int64_t last_write_time, int64_t file_id, int64_t usn) {
  LogSink* sink = engine.diag.log_sink();
  if (size == kContentNotTaken) {
    LogF(sink, kLogVerbose, u"'%s' keeps local changes the host has not taken", relative_path);
    return kOk;
  }
  auto changed_since = [&] {
    LogF(sink, kLogVerbose, u"'%s' changed since the host took it; it stays not in sync", relative_path);
    return kOk;
  };
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, relative_path);
  const TakenVersion taken{size, last_write_time, file_id};
  PlaceholderStatesRequest request;
  request.path = full.c_str();
  request.what_to_set = kSetInSyncState;
  request.in_sync_state = CF_IN_SYNC_STATE_IN_SYNC;
  request.usn = usn;  // the platform's to check, as it sets the state (0: none)
  if (size >= 0) request.unchanged_since = &taken;
  const HRESULT hr = manager->SetPlaceholderStates(&request);
  // Gone since (deleted, or moved on) is changed since too.
  if (hr == HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC) || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
      hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
    return changed_since();
  if (hr == S_OK || hr == HRESULT_FROM_WIN32(ERROR_NOT_A_CLOUD_FILE)) return kOk;  // not one: replaced since
  LogF(sink, kLogVerbose, u"SetPlaceholderStates for '%s' failed, HR=0x%x", relative_path, static_cast<uint32_t>(hr));
  return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
}

int32_t DoSetPlaceholderPinnedState(EngineCore& engine, std::u16string_view path, bool pinned) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Calling DoSetPlaceholderPinnedState for '%s', pinned: %s", path, Bool(pinned));
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, path);
  if (!IsPlaceholder(*manager, full)) {
    LogF(sink, kLogVerbose, u"Path '%s' is not a placeholder, skipping it", path);
    return kOk;
  }
  return SetStates(engine, *manager, full, kSetPinState, CF_IN_SYNC_STATE_NOT_IN_SYNC,
                   pinned ? CF_PIN_STATE_PINNED : CF_PIN_STATE_UNSPECIFIED, CF_SET_PIN_FLAG_RECURSE);
}

int32_t DoSetPlaceholderExcludedState(EngineCore& engine, std::u16string_view relative_path, bool excluded) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Calling DoSetPlaceholderExcludedState for '%s', excluded: %s", relative_path,
       Bool(excluded));
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, relative_path);
  if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) return kOk;

  bool current = false;
  if (IsPlaceholder(*manager, full)) {
    if (manager->GetPlaceholderExcludedState(full.c_str(), current) != kOk) {
      return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
    }
  } else {
    // Only a placeholder carries a pin state, so a plain item becomes one.
    const ItemIdentity id(relative_path);
    ConvertRequest request;
    request.path = full.c_str();
    request.file_identity = id.data();
    request.file_identity_length = id.length();
    request.convert_flags = CF_CONVERT_FLAG_MARK_IN_SYNC;
    if (engine.settings.windows_create_placeholders_on_demand.load()) {
      request.convert_flags |= CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION;
    }
    const HRESULT hr = manager->ConvertToPlaceholder(&request);
    LogF(sink, kLogVerbose, u"Existing file converted to placeholder: '%s'. Error code: 0x%x", relative_path,
         static_cast<uint32_t>(hr));
    if (hr != S_OK) {
      engine.diag.SetOsLastError(static_cast<uint32_t>(hr));
      return engine.diag.Record(kErrOsCallFailed, ResultMessage(kErrOsCallFailed));
    }
  }
  if (current == excluded) return kOk;
  return SetStates(engine, *manager, full, kSetPinState, CF_IN_SYNC_STATE_NOT_IN_SYNC,
                   excluded ? CF_PIN_STATE_EXCLUDED : CF_PIN_STATE_UNSPECIFIED, 0);
}

int32_t IsItemExcluded(EngineCore& engine, std::u16string_view relative_path, bool* excluded) {
  *excluded = false;
  PlaceholderManager* manager = ManagerOrRecord(engine);
  if (manager == nullptr) return kErrNotReady;
  const std::u16string full = FullPathOf(engine, relative_path);
  if (!IsPlaceholder(*manager, full)) return kOk;
  return manager->GetPlaceholderExcludedState(full.c_str(), *excluded);
}

void SetItemErrorMark(EngineCore&, std::u16string_view full_path, bool set) {
  // The mark is only a hint: a failure to show it changes nothing.
  (void)platform::SetLastSyncErrorMark(full_path, set);
}

}  // namespace corvane
