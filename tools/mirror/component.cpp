#include "component.h"

#include <cstdio>

namespace mirror {
namespace {

intptr_t Str(const std::string& s) { return reinterpret_cast<intptr_t>(s.c_str()); }
// 64-bit arguments travel as pointers to the value.
intptr_t I64(int64_t& v) { return reinterpret_cast<intptr_t>(&v); }

}  // namespace

Component::Component(HalvexEventSink sink, void* context) {
  handle_ = Halvex_Corvane_Create(sink, context, nullptr, 0);
}

Component::~Component() {
  // Destroy deactivates an engine that is still active; the mirror deactivates
  // explicitly before this, so this is only the safety net.
  if (handle_) Halvex_Corvane_Destroy(handle_);
}

std::string Component::LastError() const {
  const char* text = Halvex_Corvane_GetLastError(handle_);
  char code[32];
  snprintf(code, sizeof code, "code 0x%X", static_cast<unsigned>(Halvex_Corvane_GetLastErrorCode(handle_)));
  std::string out = text && *text ? text : "no description";
  return out + " (" + code + ")";
}

int32_t Component::Do(int32_t method, int32_t count, intptr_t* params, int32_t* cbparams) {
  int32_t unused_cb[8] = {0};
  return Halvex_Corvane_Do(handle_, method, count, params, cbparams ? cbparams : unused_cb, nullptr);
}

int32_t Component::SetSyncRootPath(const std::string& path) {
  return Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, Str(path), 0);
}

int32_t Component::SetSyncRootLabel(const std::string& label) {
  return Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_LABEL, 0, Str(label), 0);
}

int32_t Component::Config(const std::string& setting, std::string* answer) {
  intptr_t params[2] = {Str(setting), 0};
  const int32_t rc = Do(HALVEX_METHOD_CONFIG, 2, params);
  // The answer is owned by the component until this thread's next Config.
  if (answer) *answer = params[1] ? reinterpret_cast<const char*>(params[1]) : "";
  return rc;
}

int32_t Component::Install() { return Do(HALVEX_METHOD_INSTALL, 0, nullptr); }
int32_t Component::Uninstall() { return Do(HALVEX_METHOD_UNINSTALL, 0, nullptr); }
int32_t Component::Deactivate() { return Do(HALVEX_METHOD_DEACTIVATE, 0, nullptr); }

int32_t Component::Activate() {
  intptr_t params[1] = {1};  // synchronous: the result is the activation's
  return Do(HALVEX_METHOD_ACTIVATE, 1, params);
}

int32_t Component::ListFile(int64_t task, const std::string& name, int64_t size, const ItemTimes& t) {
  ItemTimes times = t;
  intptr_t params[7] = {I64(task), Str(name), 0, I64(size), I64(times.creation), I64(times.last_access),
                        I64(times.last_write)};
  return Do(HALVEX_METHOD_LIST_FILE, 7, params);
}

int32_t Component::ListFolder(int64_t task, const std::string& name, const ItemTimes& t) {
  ItemTimes times = t;
  intptr_t params[6] = {I64(task), Str(name), 0, I64(times.creation), I64(times.last_access),
                        I64(times.last_write)};
  return Do(HALVEX_METHOD_LIST_FOLDER, 6, params);
}

int32_t Component::PutItemData(int64_t task, const void* data, int32_t count) {
  intptr_t params[4] = {I64(task), reinterpret_cast<intptr_t>(data), 0, count};
  int32_t cbparams[4] = {0, count, 0, 0};  // the buffer's size sits beside it
  return Do(HALVEX_METHOD_PUT_ITEM_DATA, 4, params, cbparams);
}

int32_t Component::FinalizeTask(int64_t task, int32_t result) {
  intptr_t params[2] = {I64(task), result};
  return Do(HALVEX_METHOD_FINALIZE_TASK, 2, params);
}

int32_t Component::GetLocalFileData(int64_t task, int64_t position, void* buffer, int32_t count,
                                    int32_t* bytes_read) {
  intptr_t params[6] = {I64(task), I64(position), reinterpret_cast<intptr_t>(buffer), 0, count, 0};
  int32_t cbparams[6] = {0, 0, count, 0, 0, 0};
  const int32_t rc = Do(HALVEX_METHOD_GET_LOCAL_FILE_DATA, 6, params, cbparams);
  *bytes_read = static_cast<int32_t>(params[5]);  // an out int fills the slot's low 32 bits
  return rc;
}

int32_t Component::CreateFile(const std::string& path, int64_t size, const ItemTimes& t) {
  ItemTimes times = t;
  intptr_t params[6] = {Str(path), 0, I64(size), I64(times.creation), I64(times.last_access),
                        I64(times.last_write)};
  return Do(HALVEX_METHOD_CREATE_FILE, 6, params);
}

int32_t Component::CreateFolder(const std::string& path, const ItemTimes& t) {
  ItemTimes times = t;
  intptr_t params[5] = {Str(path), 0, I64(times.creation), I64(times.last_access), I64(times.last_write)};
  return Do(HALVEX_METHOD_CREATE_FOLDER, 5, params);
}

bool Component::DataOnDisk(const std::string& path) {
  intptr_t params[2] = {Str(path), 0};
  return Do(HALVEX_METHOD_GET_FILE_STATUS, 2, params) == 0 && (params[1] & HALVEX_STATUS_DATA_ON_DISK) != 0;
}

int32_t Component::UpdateFile(const std::string& path, int64_t size, const ItemTimes& t) {
  ItemTimes times = t;
  intptr_t params[6] = {Str(path), 0, I64(size), I64(times.creation), I64(times.last_access),
                        I64(times.last_write)};
  return Do(HALVEX_METHOD_UPDATE_FILE, 6, params);
}

int32_t Component::DeleteFile(const std::string& path) {
  intptr_t params[1] = {Str(path)};
  return Do(HALVEX_METHOD_DELETE_FILE, 1, params);
}

int32_t Component::DeleteFolder(const std::string& path) {
  intptr_t params[2] = {Str(path), 1};  // with everything below it
  return Do(HALVEX_METHOD_DELETE_FOLDER, 2, params);
}

int32_t Component::RenameFile(const std::string& from, const std::string& to) {
  intptr_t params[3] = {Str(from), Str(to), 0};
  return Do(HALVEX_METHOD_RENAME_FILE, 3, params);
}

int32_t Component::RenameFolder(const std::string& from, const std::string& to) {
  intptr_t params[2] = {Str(from), Str(to)};
  return Do(HALVEX_METHOD_RENAME_FOLDER, 2, params);
}

}  // namespace mirror
