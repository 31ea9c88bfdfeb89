#include "provider/own_change.h"

#include <cstdint>
#include <mutex>

#include "engine/engine.h"
#include "platform/files.h"
#include "provider/create_update.h"

namespace corvane {

using namespace platform;

OwnChange::OwnChange(Engine& engine, const std::u16string& relative, const std::u16string& full)
    : engine_(engine), relative_(relative), full_(full) {
  std::lock_guard<std::mutex> lock(engine_.own_change_mutex);
  // An item held back already (its Office lock file) stays held back.
  known_ = engine_.metadata_cache.GetLocked(relative_, &was_locked_);
  if (known_ && !was_locked_) engine_.metadata_cache.SetLocked(relative_, true);
}

OwnChange::~OwnChange() {
  std::lock_guard<std::mutex> lock(engine_.own_change_mutex);
  if (!known_) return;
  if (succeeded_) RecordItemAsItIs();
  if (!was_locked_) engine_.metadata_cache.SetLocked(relative_, false);
}

// What the item shows may differ from what was asked: a pin kept through
// the update, attributes 0 that cleared read-only, a time left alone.
void OwnChange::RecordItemAsItIs() {
  Handle handle = CreateFileW(full_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
  if (handle == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  const bool read = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!read) return;
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const int64_t size = folder ? 0 : (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  engine_.metadata_cache.UpdateProperties(relative_, FromPlatformAttributes(info.dwFileAttributes), size,
                                          info.ftCreationTime, info.ftLastAccessTime, info.ftLastWriteTime);
}

}  // namespace corvane
