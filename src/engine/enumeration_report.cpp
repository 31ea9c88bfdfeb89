// A new local item that the user made in the sync root goes to the host as
// CreateFile or CreateFolder; the host's answer decides its in-sync state.
#include "engine/enumeration_report.h"

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/exclusion.h"
#include "engine/item_operations_create_update.h"
#include "engine/item_properties.h"
#include "engine/retry_passes.h"
#include "engine/retry_wrappers.h"
#include "halvex/corvane.h"
#include "provider/create_update.h"
#include "provider/create_update_states.h"

namespace corvane {

namespace {

constexpr int32_t kItemExcluded = 0x100;

char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view head) {
  if (text.size() < head.size()) return false;
  for (size_t i = 0; i < head.size(); ++i) {
    if (Lower(text[i]) != Lower(head[i])) return false;
  }
  return true;
}

// The host made its own item at the name while it was offered the user's
// (deleted since, or moved away): the cache entry is the host's item's now,
// and the user's values put over it would make that item look changed.
bool HostMadeAnotherItemMeanwhile(Engine& engine, const Task& task, const std::u16string& path, bool is_dir) {
  if (is_dir || (!engine.unseen_creations.BeingMade(path) && !engine.unseen_creations.Contains(path))) return false;
  const FileVersion now = ReadFileVersion(engine, path, false);
  return now.file_id != task.ReportedFileId || now.size != task.ReportedSize ||
         now.last_write_time != task.ReportedWriteTime;
}

int32_t DoReportNewFile(Engine& engine, const std::u16string& relative_path, const std::u16string& full_path,
                        int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                        int64_t last_write_time, bool report, bool check_exclusion, int64_t file_id) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"DoReportNewFile LocalPath('%s'), LocalData('%s')", relative_path, full_path);
  LogItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time);
  const bool is_dir = (static_cast<uint32_t>(attributes) & HALVEX_ATTR_DIRECTORY) != 0;
  const size_t last = relative_path.find_last_of(u'\\');
  if (last == std::u16string::npos || last + 1 >= relative_path.size()) {
    LogF(sink, kLogVerbose, u"ExtractFileDirAndName failed for LocalPath '%s'", relative_path);
    return engine.diag.Record(kErrInvalidParameter, "The LocalPath parameter could not be parsed");
  }
  if (report && check_exclusion) {
    ExcludedState state = ExcludedState::kDoNothing;
    if (int32_t rc = ProcessExcludedState(engine, relative_path, ToPlatformAttributes(attributes), &state);
        rc != kOk) {
      return engine.diag.LastErrorCode() == rc ? rc : engine.diag.Record(rc, ResultMessage(rc));
    }
    if (state == ExcludedState::kSkip || state == ExcludedState::kNewlyExcluded) return kItemExcluded;
  }
  if (report && !is_dir && !FetchDataBeforeOfferingAsNew(engine, relative_path))
    return engine.diag.Record(kErrBackend, "The file's data is only on the server and could not be fetched");
  int64_t converted_usn = 0;
  if (int32_t rc = CreateFileInt(engine, relative_path, attributes, size, creation_time, last_access_time,
                                 last_write_time, report ? kFlagExistingLocalItem : HALVEX_FLAG_UPDATE_CALL,
                                 &converted_usn);
      rc != kOk || !report) {
    return rc;
  }

  Task* task = engine.tasks.CreateTask(relative_path, OP_CREATE, nullptr);
  if (task == nullptr) return engine.diag.Record(kErrOutOfMemory, kTextOutOfMemory);
  task->LocalPath = full_path;
  NoteReportedVersion(engine, *task, is_dir, size, last_write_time, file_id, converted_usn);
  engine.tasks.RegisterTask(task);
  int32_t answer = kOk;
  const int32_t fired =
      FireCreateWithRetry(engine, *task, relative_path, is_dir, attributes & ~HALVEX_ATTR_DIRECTORY, size,
                          creation_time, last_access_time, last_write_time, answer);
  const bool async = answer == kErrPending;
  int32_t result = kOk;
  if (answer == kOk || answer == kErrPending || answer == kErrRetry) {
    const std::u16string name = relative_path.substr(last + 1);
    if (HostMadeAnotherItemMeanwhile(engine, *task, relative_path, is_dir)) {
      LogF(sink, kLogVerbose, u"'%s' holds an item the host made while it was offered this one: its entry is kept",
           relative_path);
    } else {
      engine.metadata_cache.AddNewItemToCache(relative_path, name, static_cast<uint32_t>(attributes), size,
                                              creation_time, last_access_time, last_write_time);
    }
    if (async) {
      Log(sink, kLogVerbose, u"CreateItem fired in async mode");
      task->StartTime.store(CurrentTimeMs());
    }
  } else {
    LogF(sink, kLogFailure, u"CreateItem for '%s' finished with error: 0x%x", relative_path,
         static_cast<uint32_t>(answer));
    result = answer;
    // Change processing drops the entry instead of reporting it again.
    engine.metadata_cache.SetCreateFailed(relative_path, true);
  }
  // Not taken (yet): a placeholder that was there already may say in sync.
  if (answer != kOk) DoSetPlaceholderSyncState(engine, relative_path, false);
  if (fired != 0) task->LeaveHandler();
  if (answer == kOk) engine.taken_renames.NameUsedAgain(relative_path);
  if (!async) {
    if (answer == kOk)
      MarkTakenVersionInSync(engine, relative_path, task->ReportedSize, task->ReportedWriteTime, task->ReportedFileId,
                             task->ReportedUsn);
    engine.tasks.RemoveTask(task, task->TaskId, false);
  }
  return result;
}

}  // namespace

int32_t ReportNewLocalFile(Engine& engine, const std::u16string& full_path, int32_t attributes, int64_t size,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                           bool check_exclusion, int64_t file_id) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"ReportNewLocalFile FullPath('%s')", full_path);
  LogItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time);
  std::u16string root = engine.EffectiveSyncRootPath();
  if (root.empty() || root.back() != u'\\') root.push_back(u'\\');
  if (!StartsWithIgnoringCase(full_path, root) || full_path.size() == root.size()) {
    Log(sink, kLogVerbose, u"An item was reported with an absolute path that is not within a synchronization root");
    return engine.diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }
  const std::u16string relative = full_path.substr(root.size() - 1);
  return DoReportNewFile(engine, relative, full_path, attributes, size, creation_time, last_access_time,
                         last_write_time, true, check_exclusion, file_id);
}

}  // namespace corvane
