#include "provider/own_change.h"

#include <cstdint>

#include "core/engine_core.h"
#include "diag/log.h"
#include "platform/files.h"
#include "provider/create_update.h"
#include "support/mutex.h"

namespace corvane {

using namespace platform;

OwnChange::OwnChange(EngineCore& engine, const std::u16string& relative, const std::u16string& full)
    : engine_(engine), relative_(relative), full_(full) {
  PathLockItem lock(engine_.own_changes, relative_);
  // An item held back already (its Office lock file) stays held back.
  known_ = engine_.metadata_cache.GetLocked(relative_, &was_locked_);
  if (known_ && !was_locked_) engine_.metadata_cache.SetLocked(relative_, true);
}

OwnChange::~OwnChange() {
  PathLockItem lock(engine_.own_changes, relative_);
  if (!known_) return;
  if (succeeded_) RecordItemAsItIs();
  if (!was_locked_) engine_.metadata_cache.SetLocked(relative_, false);
}

bool ReadShownItem(const std::u16string& full, ShownItem& shown) {
  Handle handle = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, 0);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool read = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!read) return false;
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  shown.attributes = FromPlatformAttributes(info.dwFileAttributes);
  shown.size = folder ? 0 : (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  shown.creation_time = info.ftCreationTime;
  shown.last_access_time = info.ftLastAccessTime;
  shown.last_write_time = info.ftLastWriteTime;
  shown.file_id = static_cast<int64_t>((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return true;
}

void RecordShownItem(EngineCore& engine, const std::u16string& relative, const ShownItem& shown) {
  engine.metadata_cache.UpdateProperties(relative, shown.attributes, shown.size, shown.creation_time,
                                         shown.last_access_time, shown.last_write_time);
}

// What the item shows may differ from what was asked: a pin kept through
// the update, attributes 0 that cleared read-only, a time left alone.
void OwnChange::RecordItemAsItIs() {
  ShownItem shown;
  if (!ReadShownItem(full_, shown)) return;
  if (item_id_ != 0 && shown.file_id != item_id_) {
    LogF(engine_.diag.log_sink(), kLogVerbose, u"'%s' was replaced while it was updated: its own records tell of it",
         relative_);
    return;
  }
  RecordShownItem(engine_, relative_, shown);
}

void OwnChange::KeepsItemInPlace() {
  ShownItem shown;
  item_id_ = known_ && ReadShownItem(full_, shown) ? shown.file_id : 0;
}

}  // namespace corvane
