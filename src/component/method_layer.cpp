#include "component/method_layer.h"

#include <string>

#include "callbacks/fetch_data.h"
#include "core/metadata_cache.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/delete_rename_reset.h"
#include "engine/engine.h"
#include "engine/enumeration.h"
#include "engine/item_operations_create_update.h"
#include "engine/item_queries.h"
#include "engine/pending_operations.h"
#include "engine/retry_passes.h"
#include "engine/task_cancel.h"
#include "engine/task_local_file.h"
#include "engine/task_methods.h"
#include "platform/types.h"
#include "provider/create_update_states.h"
#include "support/sync_root_path.h"

namespace corvane {
namespace {

enum class ItemCheck { kNone, kFile, kFolder };

// An update time not after 1970-01-01 00:00 UTC is absent.
int64_t AfterEpochOrZero(int64_t time) { return time <= platform::kFileTimeUnixEpoch ? 0 : time; }

uint64_t U64(int64_t value) { return static_cast<uint64_t>(value); }
uint32_t U32(int32_t value) { return static_cast<uint32_t>(value); }

void LogTimes(LogSink* sink, int64_t creation, int64_t access, int64_t write) {
  LogF(sink, kLogVerbose, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)", U64(creation),
       U64(access), U64(write));
}

// Shared steps of the item methods. Each step returns 0 or the recorded code.
class ItemCall {
 public:
  explicit ItemCall(Engine& engine) : engine_(engine), sink_(engine.diag.log_sink()), pass_(engine.method_calls) {}

  LogSink* sink() const { return sink_; }

  int32_t RequireActive() {
    if (pass_.entered() && engine_.state.active.load() != 0) return kOk;
    return engine_.diag.Record(kErrNotReady, kTextNotActive);
  }

  // '/' -> '\' and the refusal of anything that would leave the sync root,
  // before any step touches the disk.
  int32_t PreparePath(std::u16string_view given, std::u16string& path) {
    path = NormalizeSeparators(given);
    // Hosts may leave out the leading separator ("docs/a.txt"); the engine,
    // the pending list and the events all use the "\docs\a.txt" form, so a
    // change the host made is matched with the change the watcher sees.
    if (!IsSafeRelativePath(path)) return engine_.diag.Record(kErrInvalidParameter, kTextInvalidLocalPath);
    if (path.empty() || path[0] != u'\\') path.insert(path.begin(), u'\\');
    // The text stays inside; what the disk makes of it is checked too, on
    // every component, before any step acts on it.
    if (engine_.PathPassesLink(path)) return engine_.diag.Record(kErrInvalidParameter, kTextPathPassesLink);
    return kOk;
  }

  int32_t CheckItem(std::u16string_view path, ItemCheck check) {
    if (check == ItemCheck::kNone) return kOk;
    const ItemKind kind = engine_.ProbeItem(path);
    const ItemKind wanted = check == ItemCheck::kFile ? ItemKind::kFile : ItemKind::kFolder;
    if (kind == wanted) return kOk;
    return engine_.diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }

  void AddPending(std::u16string_view path, int32_t op_type, bool is_dir, std::u16string_view target = {}) {
    pending_path_.assign(path);
    pending_op_ = op_type;
    pending_is_dir_ = is_dir;
    pending_added_ = engine_.pending.AddPending(path, op_type, is_dir, target);
    engine_.newer_changes.Note(path);
    // The host's own delete or move of an item it made: the name, and any
    // below it, holds that item no more.
    if (op_type == kOpDelete || op_type == kOpRename) engine_.unseen_creations.Forget(path);
  }

  // Clears the code (not the text) first, so that an operation that recorded
  // a text of its own keeps it and any other failure gets the lookup text.
  void BeforeOperation() { engine_.diag.SetLastErrorCode(kOk); }

  // The entry covers the change while it is made. A failed change leaves
  // none, and a create or delete is held by the metadata cache once made
  // (its records compare equal or find nothing), so there the entry ends
  // with the call: one left behind, for want of a record to consume it,
  // would swallow the event of the user's next change to the path or below
  // it. Other changes (a rename's records, a pin's attributes) are told
  // apart by the entry alone, and their records consume it.
  int32_t Finish(int32_t result, bool records_consume = true) {
    if (pending_added_ && (result != kOk || !records_consume))
      engine_.pending.CheckPendingOrRemove(pending_path_, pending_op_, pending_is_dir_);
    pending_added_ = false;
    if (result == kOk) return kOk;
    if (engine_.diag.LastError().code == result) return result;
    return engine_.diag.Record(result, ResultMessage(result));
  }

 private:
  Engine& engine_;
  LogSink* sink_;
  CallGate::Pass pass_;
  std::u16string pending_path_;
  int32_t pending_op_ = 0;
  bool pending_is_dir_ = false;
  bool pending_added_ = false;
};

// The common shape of the methods that take one path, check its kind,
// record a pending change and run one operation.
template <class Operation>
int32_t RunPathMethod(Engine& engine, std::u16string_view given, ItemCheck check, int32_t op_type,
                      const char16_t* first_line, const char16_t* result_line, Operation operation) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose, first_line, given);
  std::u16string path;
  if (int32_t rc = call.PreparePath(given, path); rc != kOk) return rc;
  if (int32_t rc = call.CheckItem(path, check); rc != kOk) return rc;
  if (op_type >= 0) call.AddPending(path, op_type, check == ItemCheck::kFolder);
  call.BeforeOperation();
  int32_t result = operation(path);
  if (result_line != nullptr) LogF(call.sink(), kLogVerbose, result_line, result);
  return call.Finish(result, op_type != kOpDelete);
}

int32_t RequireActiveOrActivating(Engine& engine, const CallGate::Pass& pass) {
  if (pass.entered() && engine.state.ActiveOrActivating()) return kOk;
  return engine.diag.Record(kErrNotReady, kTextNotActive);
}

int32_t RecordIfFailed(Engine& engine, int32_t result) {
  if (result == kOk || engine.diag.LastError().code == result) return result;
  return engine.diag.Record(result, ResultMessage(result));
}

}  // namespace

int32_t do_CreateFile(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose, u"do_CreateFile LocalPath(%s)", local_path);
  LogF(call.sink(), kLogVerbose, u"  Attributes(%x), Size(%I64u)", U32(attributes), U64(size));
  LogTimes(call.sink(), creation_time, last_access_time, last_write_time);
  std::u16string path;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  call.AddPending(path, kOpUpdate, false);
  call.BeforeOperation();
  engine.unseen_creations.Begin(path);
  const int32_t made = CreateFileInt(engine, path, attributes, size, creation_time, last_access_time,
                                     last_write_time, kCreateFileFlags);
  engine.unseen_creations.Add(path, made == kOk ? ReadFileVersion(engine, path).file_id : 0);
  if (made == kOk) engine.taken_renames.NameUsedAgain(path);
  return call.Finish(made, false);
}

int32_t do_CreateFolder(Engine& engine, std::u16string_view local_path, int32_t attributes,
                        int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose, u"do_CreateFolder LocalPath(%s), Attributes(%x)", local_path, U32(attributes));
  LogTimes(call.sink(), creation_time, last_access_time, last_write_time);
  std::u16string path;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  call.AddPending(path, kOpUpdate, true);
  call.BeforeOperation();
  engine.unseen_creations.Begin(path);
  const int32_t made = CreateFileInt(engine, path, attributes | kFolderAttribute, 0, creation_time,
                                     last_access_time, last_write_time, kCreateFileFlags);
  engine.unseen_creations.Add(path, made == kOk ? ReadFileVersion(engine, path).file_id : 0);
  if (made == kOk) engine.taken_renames.NameUsedAgain(path);
  return call.Finish(made, false);
}

namespace {

int32_t RunUpdate(Engine& engine, std::u16string_view local_path, bool is_folder, int32_t attributes,
                  int64_t size, int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  if (is_folder) {
    LogF(call.sink(), kLogVerbose, u"do_UpdateFolder LocalPath(%s), Attributes(%x)", local_path, U32(attributes));
  } else {
    LogF(call.sink(), kLogVerbose, u"do_UpdateFile LocalPath(%s)", local_path);
    LogF(call.sink(), kLogVerbose, u"  Attributes(%x), Size(%I64u)", U32(attributes), U64(size));
  }
  LogTimes(call.sink(), creation_time, last_access_time, last_write_time);
  std::u16string path;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  if (int32_t rc = call.CheckItem(path, is_folder ? ItemCheck::kFolder : ItemCheck::kFile); rc != kOk) return rc;
  call.AddPending(path, kOpUpdate, is_folder);
  call.BeforeOperation();
  int32_t result = UpdateFileInt(engine, path, is_folder ? (attributes | kFolderAttribute) : attributes,
                                 is_folder ? 0 : size, AfterEpochOrZero(creation_time),
                                 AfterEpochOrZero(last_access_time), AfterEpochOrZero(last_write_time),
                                 kUpdateFileFlags);
  if (result != kOk) return call.Finish(result);
  engine.pending.CheckPendingOrRemove(path, kOpUpdate, is_folder);
  return kOk;
}

}  // namespace

int32_t do_UpdateFile(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  return RunUpdate(engine, local_path, false, attributes, size, creation_time, last_access_time, last_write_time);
}

int32_t do_UpdateFolder(Engine& engine, std::u16string_view local_path, int32_t attributes,
                        int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  return RunUpdate(engine, local_path, true, attributes, 0, creation_time, last_access_time, last_write_time);
}

int32_t do_DeleteFile(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFile, kOpDelete, u"do_DeleteFile LocalPath('%s')", nullptr,
                       [&](const std::u16string& path) {
                         int32_t rc = DoDeletePlaceholder(engine, path, false);
                         if (rc == kOk) engine.metadata_cache.Remove(path, false);
                         return rc;
                       });
}

int32_t do_DeleteFolder(Engine& engine, std::u16string_view local_path, int32_t delete_children) {
  return RunPathMethod(engine, local_path, ItemCheck::kFolder, kOpDelete, u"do_DeleteFolder LocalPath('%s')",
                       nullptr, [&](const std::u16string& path) {
                         int32_t rc = DoDeletePlaceholder(engine, path, delete_children != 0);
                         if (rc == kOk) engine.metadata_cache.Remove(path, true);
                         return rc;
                       });
}

namespace {

int32_t RunRename(Engine& engine, std::u16string_view local_path, std::u16string_view new_path, bool is_folder,
                  bool overwrite) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose,
       is_folder ? u"do_RenameFolder: LocalPath(%s), NewPath(%s)" : u"do_RenameFile: LocalPath(%s), NewPath(%s)",
       local_path, new_path);
  std::u16string path;
  std::u16string target;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  if (int32_t rc = call.PreparePath(new_path, target); rc != kOk) return rc;
  if (int32_t rc = call.CheckItem(path, is_folder ? ItemCheck::kFolder : ItemCheck::kFile); rc != kOk) return rc;
  call.AddPending(path, kOpRename, is_folder, target);
  call.BeforeOperation();
  int32_t result = DoRenamePlaceholder(engine, path, target, overwrite);
  // The item is known under its new name from now on, not only once the
  // watcher gets to the rename's records.
  if (result == kOk) result = FinishLocalRename(engine, engine.EffectiveSyncRootPath(), path, target);
  LogF(call.sink(), kLogVerbose, is_folder ? u"do_RenameFolder: return(%d)" : u"do_RenameFile: return(%d)", result);
  return call.Finish(result);
}

}  // namespace

int32_t do_RenameFile(Engine& engine, std::u16string_view local_path, std::u16string_view new_path,
                      int32_t overwrite) {
  return RunRename(engine, local_path, new_path, false, overwrite != 0);
}

int32_t do_RenameFolder(Engine& engine, std::u16string_view local_path, std::u16string_view new_path) {
  return RunRename(engine, local_path, new_path, true, false);
}

int32_t do_ResetFile(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFile, kOpReset, u"do_ResetFile LocalPath('%s')", nullptr,
                       [&](const std::u16string& path) { return DoClearPlaceholder(engine, path); });
}

int32_t do_ResetFolder(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFolder, kOpReset, u"do_ResetFolder LocalPath('%s')", nullptr,
                       [&](const std::u16string& path) { return DoClearPlaceholder(engine, path); });
}

int32_t do_PinFile(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFile, kOpUpdate, u"do_PinFile: LocalPath(%s)",
                       u"do_PinFile: return(%d)",
                       [&](const std::u16string& path) { return DoSetPlaceholderPinnedState(engine, path, true); });
}

int32_t do_PinFolder(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFolder, kOpUpdate, u"do_PinFolder: LocalPath(%s)",
                       u"do_PinFolder: return(%d)",
                       [&](const std::u16string& path) { return DoSetPlaceholderPinnedState(engine, path, true); });
}

int32_t do_UnpinFile(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFile, kOpUpdate, u"do_UnpinFile: LocalPath(%s)",
                       u"do_UnpinFile: return(%d)",
                       [&](const std::u16string& path) { return DoSetPlaceholderPinnedState(engine, path, false); });
}

int32_t do_UnpinFolder(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFolder, kOpUpdate, u"do_UnpinFolder: LocalPath(%s)",
                       u"do_UnpinFolder: return(%d)",
                       [&](const std::u16string& path) { return DoSetPlaceholderPinnedState(engine, path, false); });
}

int32_t do_SyncFile(Engine& engine, std::u16string_view local_path) {
  return RunPathMethod(engine, local_path, ItemCheck::kFile, -1, u"do_SyncFile: LocalPath(%s)",
                       u"do_SyncFile: return(%d)",
                       [&](const std::u16string& path) { return SyncItem(engine, path); });
}

namespace {

int32_t RunGetValue(Engine& engine, std::u16string_view local_path, ItemCheck check, const char16_t* first_line,
                    const char16_t* result_line, int32_t& value,
                    int32_t (*operation)(Engine&, std::u16string_view, bool, int32_t*), bool is_folder) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose, first_line, local_path);
  std::u16string path;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  if (int32_t rc = call.CheckItem(path, check); rc != kOk) return rc;
  call.BeforeOperation();
  int32_t result = operation(engine, path, is_folder, &value);
  LogF(call.sink(), kLogVerbose, result_line, value, result);
  return call.Finish(result);
}

int32_t StatusOperation(Engine& engine, std::u16string_view path, bool, int32_t* status) {
  return GetItemStatus(engine, path, status);
}

}  // namespace

int32_t do_GetFileAttributes(Engine& engine, std::u16string_view local_path, int32_t& attributes) {
  return RunGetValue(engine, local_path, ItemCheck::kNone, u"do_GetFileAttributes: LocalPath(%s)",
                     u"do_GetFileAttributes: Result(%d), return(%d)", attributes, GetItemAttributes, false);
}

int32_t do_GetFolderAttributes(Engine& engine, std::u16string_view local_path, int32_t& attributes) {
  return RunGetValue(engine, local_path, ItemCheck::kNone, u"do_GetFolderAttributes: LocalPath(%s)",
                     u"do_GetFolderAttributes: Result(%d), return(%d)", attributes, GetItemAttributes, true);
}

int32_t do_GetFileStatus(Engine& engine, std::u16string_view local_path, int32_t& status) {
  return RunGetValue(engine, local_path, ItemCheck::kFile, u"do_GetFileStatus: LocalPath(%s)",
                     u"do_GetFileStatus: Result(%d), return(%d)", status, StatusOperation, false);
}

int32_t do_GetFolderStatus(Engine& engine, std::u16string_view local_path, int32_t& status) {
  return RunGetValue(engine, local_path, ItemCheck::kFolder, u"do_GetFolderStatus: LocalPath(%s)",
                     u"do_GetFolderStatus: Result(%d), return(%d)", status, StatusOperation, true);
}

namespace {

int32_t RunSetAttributes(Engine& engine, std::u16string_view local_path, int32_t attributes, bool is_folder) {
  ItemCall call(engine);
  if (int32_t rc = call.RequireActive(); rc != kOk) return rc;
  LogF(call.sink(), kLogVerbose,
       is_folder ? u"do_SetFolderAttributes: LocalPath(%s), Attributes(%x)"
                 : u"do_SetFileAttributes: LocalPath(%s), Attributes(%x)",
       local_path, U32(attributes));
  // Nothing to set on a file: no check, no change.
  if (!is_folder && attributes == 0) return kOk;
  std::u16string path;
  if (int32_t rc = call.PreparePath(local_path, path); rc != kOk) return rc;
  if (int32_t rc = call.CheckItem(path, is_folder ? ItemCheck::kFolder : ItemCheck::kFile); rc != kOk) return rc;
  call.AddPending(path, kOpUpdate, is_folder);
  call.BeforeOperation();
  int32_t result = SetItemAttributes(engine, path, is_folder, attributes);
  LogF(call.sink(), kLogVerbose,
       is_folder ? u"do_SetFolderAttributes: return(%d)" : u"do_SetFileAttributes: return(%d)", result);
  return call.Finish(result);
}

}  // namespace

int32_t do_SetFileAttributes(Engine& engine, std::u16string_view local_path, int32_t attributes) {
  return RunSetAttributes(engine, local_path, attributes, false);
}

int32_t do_SetFolderAttributes(Engine& engine, std::u16string_view local_path, int32_t attributes) {
  return RunSetAttributes(engine, local_path, attributes, true);
}

int32_t do_ListFile(Engine& engine, int64_t enumeration_handle, std::u16string_view item_name,
                    int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                    int64_t last_write_time) {
  const CallGate::Pass pass(engine.method_calls);
  if (int32_t rc = RequireActiveOrActivating(engine, pass); rc != kOk) return rc;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"do_ListFile EnumerationHandle(%I64u), ItemName('%s')", U64(enumeration_handle),
       item_name);
  LogF(sink, kLogVerbose, u"  Attributes(%x), Size(%I64u)", U32(attributes), U64(size));
  LogTimes(sink, creation_time, last_access_time, last_write_time);
  // A listed name is joined to the listed folder: it must stay one component.
  if (!IsSafeItemName(item_name)) return engine.diag.Record(kErrInvalidItemName, ResultMessage(kErrInvalidItemName));
  return IntListItem(engine, enumeration_handle, item_name, false, attributes, size, creation_time,
                     last_access_time, last_write_time);
}

int32_t do_ListFolder(Engine& engine, int64_t enumeration_handle, std::u16string_view item_name,
                      int32_t attributes, int64_t creation_time, int64_t last_access_time,
                      int64_t last_write_time) {
  const CallGate::Pass pass(engine.method_calls);
  if (int32_t rc = RequireActiveOrActivating(engine, pass); rc != kOk) return rc;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"do_ListFolder ItemName('%s'), EnumerationHandle(%I64u), Attributes(%x)", item_name,
       U64(enumeration_handle), U32(attributes));
  LogTimes(sink, creation_time, last_access_time, last_write_time);
  if (!IsSafeItemName(item_name)) return engine.diag.Record(kErrInvalidItemName, ResultMessage(kErrInvalidItemName));
  return IntListItem(engine, enumeration_handle, item_name, true, attributes, 0, creation_time, last_access_time,
                     last_write_time);
}

int32_t do_PutItemData(Engine& engine, int64_t task_id, const uint8_t* buffer, int32_t buffer_size,
                       int32_t index, int32_t count) {
  const CallGate::Pass pass(engine.method_calls);
  if (int32_t rc = RequireActiveOrActivating(engine, pass); rc != kOk) return rc;
  if (task_id < 0) return engine.diag.Record(kErrInvalidOpId, ResultMessage(kErrInvalidOpId));
  if (buffer == nullptr || buffer_size < 0 || index < 0 || count < 0 || index >= buffer_size ||
      count > buffer_size - index) {
    return engine.diag.Record(kErrInvalidParameter, kTextInvalidBufferArgs);
  }
  engine.diag.SetLastErrorCode(kOk);
  return RecordIfFailed(engine, AppendTaskData(engine, task_id, buffer + index, count));
}

int32_t do_FinalizeTask(Engine& engine, int64_t task_id, int32_t result_code) {
  const CallGate::Pass pass(engine.method_calls);
  // A rename or create cancelled at a stop and carried out by the host
  // after all is taken whenever its answer comes, stopped or not: the next
  // start then follows the move, or knows the item is the host's, instead of
  // telling the host again what it has done already.
  if (CancelledTasks::Cancelled cancelled; engine.cancelled_tasks.Take(task_id, &cancelled)) {
    TakeCancelledTask(engine, std::move(cancelled), result_code);
    engine.diag.SetLastErrorCode(kOk);
    return kOk;
  }
  if (int32_t rc = RequireActiveOrActivating(engine, pass); rc != kOk) return rc;
  LogF(engine.diag.log_sink(), kLogVerbose, u"Completing async transfer. Operation handle: %I64u. Error code: 0x%x",
       U64(task_id), U32(result_code));
  if (task_id < 0) return engine.diag.Record(kErrInvalidOpId, ResultMessage(kErrInvalidOpId));
  engine.diag.SetLastErrorCode(kOk);
  return RecordIfFailed(engine, CompleteTask(engine, task_id, result_code));
}

int32_t do_GetLocalFileData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer,
                            int32_t buffer_size, int32_t index, int32_t count, int32_t& bytes_read) {
  const CallGate::Pass pass(engine.method_calls);
  if (int32_t rc = RequireActiveOrActivating(engine, pass); rc != kOk) return rc;
  LogF(engine.diag.log_sink(), kLogVerbose, u"Getting local file data. Operation handle: %I64u", U64(task_id));
  bytes_read = 0;
  // The data is written at buffer + index: a negative index or a missing
  // buffer would write outside what the host handed over.
  if (count < 0 || index < 0 || static_cast<int64_t>(index) + count > buffer_size ||
      (buffer == nullptr && count > 0)) {
    return engine.diag.Record(kErrInvalidParameter, ResultMessage(kErrInvalidParameter));
  }
  if (count == 0) return kOk;
  if (task_id < 0) return engine.diag.Record(kErrInvalidOpId, ResultMessage(kErrInvalidOpId));
  engine.diag.SetLastErrorCode(kOk);
  return RecordIfFailed(engine, ReadTaskLocalData(engine, task_id, position, buffer + index, count, &bytes_read));
}

}  // namespace corvane
