// Temporary: removed when the branches are merged.
//
// Stand-ins for entry points other subsystems are building, so that the
// watcher links and its tests run. Each behaves as if its subsystem were
// absent, except ReportNewLocalFile, which fires the CreateFile bridge (and
// keeps what the host accepted in the cache) so the watcher's reports can be
// seen, and ReportDelete, which fires the DeleteFile bridge for a known item.
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/engine_parts.h"
#include "engine/event_bridges.h"
#include "engine/task.h"
#include "platform/directory_changes.h"

namespace corvane {
namespace {

int32_t FireCreateTask(Engine& engine, const std::u16string& path, bool is_dir, int32_t attributes, int64_t size,
                       int64_t creation, int64_t access, int64_t write) {
  Task* task = engine.tasks.CreateTask(path, OP_CREATE, nullptr);
  const int64_t id = engine.tasks.RegisterTask(task, true);
  int32_t result = 0;
  DoCreate(engine, *task, path, is_dir, attributes & ~0x40000000, size, creation, access, write, result);
  task->LeaveHandler();
  engine.tasks.ReleaseTask(task);
  engine.tasks.RemoveTask(nullptr, id, false);
  return result;
}

}  // namespace

int32_t ReportNewLocalFile(Engine& engine, const std::u16string& full_path, int32_t attributes, int64_t size,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time, bool) {
  std::u16string root = engine.EffectiveSyncRootPath();
  const std::u16string rel = full_path.substr(root.size());
  const bool is_dir = (attributes & 0x40000000) != 0;
  const int32_t result =
      FireCreateTask(engine, rel, is_dir, attributes, size, creation_time, last_access_time, last_write_time);
  if (result == 0) {
    const size_t slash = rel.rfind(u'\\');
    engine.metadata_cache.AddNewItemToCache(rel, rel.substr(slash + 1), static_cast<uint32_t>(attributes), size,
                                            creation_time, last_access_time, last_write_time);
  }
  return result;
}

int32_t DoSetPlaceholderSyncState(Engine& engine, std::u16string_view, bool) {
  return engine.diag.Record(kErrNotReady, "Not built");
}

int32_t ReportDelete(Engine& engine, const std::u16string& path, Task*, int32_t) {
  CacheItem item;
  if (!engine.metadata_cache.Lookup(path, &item, nullptr)) {
    engine.pending.RemoveAll(path, 0);
    return 0;
  }
  Task* task = engine.tasks.CreateTask(path, OP_DELETE, nullptr);
  const int64_t id = engine.tasks.RegisterTask(task, true);
  int32_t result = 0;
  DoDelete(engine, *task, path, item.IsFolder(), 0, result);
  task->LeaveHandler();
  engine.tasks.ReleaseTask(task);
  engine.tasks.RemoveTask(nullptr, id, false);
  if (result == 0) engine.metadata_cache.Remove(path, true);
  return result;
}

int32_t FireUpdateWithRetry(Engine& engine, Task& task, const std::u16string& path, bool is_dir, int32_t update_flags,
                            int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                            int64_t last_write_time, int32_t& result) {
  return DoUpdate(engine, task, path, is_dir, update_flags, attributes, size, creation_time, last_access_time,
                  last_write_time, result);
}

int32_t FireRenameWithRetry(Engine& engine, Task& task, const std::u16string& path, const std::u16string& new_path,
                            bool is_dir, int32_t& result) {
  return DoRename(engine, task, path, new_path, is_dir, result);
}

int32_t ProcessExcludedState(Engine&, const std::u16string&, uint32_t, ExcludedState* state) {
  *state = ExcludedState::kDoNothing;
  return 0;
}

bool HandleLockFile(Engine&, const std::u16string&, const platform::FILE_NOTIFY_EXTENDED_INFORMATION&) {
  return false;
}

void SetItemErrorMark(Engine&, std::u16string_view, bool) {}

}  // namespace corvane
