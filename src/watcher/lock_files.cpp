#include "watcher/lock_files.h"

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/exclusion.h"
#include "engine/item_operations_create_update.h"
#include "engine/retry_wrappers.h"
#include "engine/task.h"
#include "platform/files.h"
#include "platform/types.h"
#include "provider/create_update_states.h"
#include "watcher/item_attributes.h"

namespace corvane {
namespace {

constexpr int32_t kUpdateKeepTasks = 0x40;
constexpr int32_t kUpdateAttributes = 0x20;
constexpr int32_t kUpdateCreationTime = 0x02;
constexpr int32_t kUpdateLastWriteTime = 0x04;
constexpr int32_t kUpdateLastAccessTime = 0x08;

const char16_t* ActionName(uint32_t action) {
  switch (action) {
    case platform::FILE_ACTION_ADDED: return u"FILE_ACTION_ADDED";
    case platform::FILE_ACTION_REMOVED: return u"FILE_ACTION_REMOVED";
    case platform::FILE_ACTION_MODIFIED: return u"FILE_ACTION_MODIFIED";
    case platform::FILE_ACTION_RENAMED_OLD_NAME: return u"FILE_ACTION_RENAMED_OLD_NAME";
    case platform::FILE_ACTION_RENAMED_NEW_NAME: return u"FILE_ACTION_RENAMED_NEW_NAME";
    default: return u"UNKNOWN_ACTION";
  }
}

// The document's own current properties. The removal record describes the
// lock file, whose size and times must not be written onto the document.
struct DocumentState {
  uint32_t attributes = 0;  // item attributes
  int64_t size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
};

bool ReadDocument(const std::u16string& full_path, DocumentState* state) {
  platform::WIN32_FIND_DATAW data;
  const platform::Handle find = platform::FindFirstFileW(full_path.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return false;
  platform::FindClose(find);
  state->attributes = static_cast<uint32_t>(ItemAttributesFromPlatform(data.dwFileAttributes));
  state->size = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY)
                    ? 0
                    : static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  state->creation_time = data.ftCreationTime;
  state->last_access_time = data.ftLastAccessTime;
  state->last_write_time = data.ftLastWriteTime;
  return true;
}

// The lock file went away: report the document once as updated.
void UnlockDocument(Engine& engine, const std::u16string& document) {
  LogSink* sink = engine.diag.log_sink();
  CacheItem old_entry;
  std::u16string name;
  if (!engine.metadata_cache.Lookup(document, &old_entry, &name)) {
    LogF(sink, kLogFailure, u"Failed to get metadata cache item for '%s'", document);
    return;
  }
  const std::u16string full = engine.EffectiveSyncRootPath() + document;
  DocumentState now;
  if (!ReadDocument(full, &now) ||
      !engine.metadata_cache.UpdateProperties(document, static_cast<int32_t>(now.attributes), now.size,
                                              now.creation_time, now.last_access_time, now.last_write_time)) {
    LogF(sink, kLogFailure, u"Failed to update metadata cache item for '%s'", document);
    // Still unlocked, so that later changes of the document are seen.
    engine.metadata_cache.SetLocked(document, false);
    return;
  }
  int32_t flags = kUpdateKeepTasks;
  if (now.attributes != old_entry.Attributes) flags |= kUpdateAttributes;
  if (static_cast<uint64_t>(now.creation_time) != old_entry.CreationTime) flags |= kUpdateCreationTime;
  if (static_cast<uint64_t>(now.last_access_time) != old_entry.LastAccessTime) flags |= kUpdateLastAccessTime;
  if (static_cast<uint64_t>(now.last_write_time) != old_entry.LastWriteTime) flags |= kUpdateLastWriteTime;
  const bool is_dir = (now.attributes & kItemAttributeFolder) != 0;

  Task* task = engine.tasks.CreateTask(document, OP_WRITE_DATA, nullptr);
  if (task != nullptr) {
    task->LocalPath = full;
    NoteReportedVersion(engine, *task, is_dir, now.size, now.last_write_time);
    if (engine.tasks.RegisterTask(task) < 0) {
      engine.tasks.ReleaseTask(task);
      task = nullptr;
    }
  }
  if (task != nullptr) {
    LogF(sink, kLogVerbose, u"Calling UpdateItem event for '%s'", document);
    int32_t result = kOk;
    FireUpdateWithRetry(engine, *task, document, is_dir, flags,
                        static_cast<int32_t>(now.attributes & ~kItemAttributeFolder), now.size, now.creation_time,
                        now.last_access_time, now.last_write_time, result);
    bool kept = false;
    if (result == kErrPending) {
      LogF(sink, kLogVerbose, u"Update event handler returned Pending status for '%s'", document);
      if (engine.state.deactivating.load() == 0) {
        task->StartTime.store(CurrentTimeMs());
        kept = true;
      }
    } else {
      LogF(sink, kLogVerbose, u"Update event handler finished for '%s'. Result: %x", document,
           static_cast<uint32_t>(result));
      if (result != kErrRetry && engine.settings.windows_update_icon_on_update_errors.load())
        SetItemErrorMark(engine, full, result != kOk);
    }
    task->LeaveHandler();
    if (!kept) engine.tasks.RemoveTask(task, task->TaskId, false);
  }

  if (!engine.metadata_cache.SetLocked(document, false)) {
    LogF(sink, kLogFailure, u"Failed to unlock file after lock file was deleted: '%s'", document);
    return;
  }
  const int32_t updated = CreateFileInt(engine, document, 0, now.size, 0, 0, 0, kUpdateFileFlags);
  LogF(sink, kLogVerbose, u"Placeholder updated for '%s'. Result: %x", document, static_cast<uint32_t>(updated));
  LogF(sink, kLogVerbose, u"Unlocked original file after its lock file was deleted: '%s'", document);
}

}  // namespace

bool HandleLockFile(Engine& engine, const std::u16string& relative_path,
                    const platform::FILE_NOTIFY_EXTENDED_INFORMATION& record) {
  std::u16string document;
  if (!engine.settings.track_office_lock_files.load() || !IsLockFile(relative_path, &document)) return false;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"Lock file detected. Original path: '%s', lock file: %s", document, relative_path);
  switch (record.Action) {
    case platform::FILE_ACTION_ADDED: {
      const bool locked = engine.metadata_cache.SetLocked(document, true);
      LogF(sink, kLogVerbose, u"Lock original file as its lock file was created: '%s'. Result: %s", document,
           locked ? u"true" : u"false");
      break;
    }
    case platform::FILE_ACTION_REMOVED: UnlockDocument(engine, document); break;
    default:
      LogF(sink, kLogVerbose, u"Skip action for locked file: '%s', action: %s", document,
           ActionName(record.Action));
      break;
  }
  return true;
}

bool HandleFoundLockFile(Engine& engine, const std::u16string& relative_path) {
  platform::FILE_NOTIFY_EXTENDED_INFORMATION record{};
  record.Action = platform::FILE_ACTION_ADDED;
  return HandleLockFile(engine, relative_path, record);
}

}  // namespace corvane
