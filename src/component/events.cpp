// Firing events through the host's sink: parameter layout, string
// conversion, read-back of in/out results and the failing-handler path.
#include <cstring>
#include <string>

#include "component/component.h"
#include "component/strings.h"
#include "diag/result_codes.h"
#include "support/format.h"
#include "support/mutex.h"

namespace corvane {

struct Component::EventParam {
  enum Kind { kInt, kResult, kInt64, kString };
  Kind kind;
  int64_t value = 0;
  int32_t* result = nullptr;
  const std::u16string* text = nullptr;
};

namespace {

using Param = Component::EventParam;
constexpr int kMaxEventParams = 9;
constexpr int kMaxEventStrings = 2;

Param Int(int32_t v) { return {Param::kInt, v}; }
Param Int64(int64_t v) { return {Param::kInt64, v}; }
Param Str(const std::u16string& s) { return {Param::kString, 0, nullptr, &s}; }
Param Result(int32_t& r) { return {Param::kResult, 0, &r}; }

// A C++ host may throw through the sink; that must not unwind into the engine.
int32_t CallSink(HalvexEventSink sink, void* context, int32_t id, int32_t count, intptr_t* params,
                 int32_t* cbparams) {
  try {
    return sink(context, id, count, params, cbparams);
  } catch (...) {
    return kErrInternalError;
  }
}

}  // namespace

int32_t Component::FireStandard(int32_t event_id, std::u16string_view name, EventParam* params, int32_t count) {
  if (sink_ == nullptr) return 0;
  intptr_t slots[kMaxEventParams] = {};
  int32_t cbparams[kMaxEventParams] = {};
  int64_t values64[kMaxEventParams] = {};
  std::string narrow[kMaxEventStrings];
  const uint32_t cp = code_page();
  int32_t result = 0;
  int strings = 0;
  for (int32_t i = 0; i < count; ++i) {
    EventParam& p = params[i];
    switch (p.kind) {
      case EventParam::kInt:
        slots[i] = static_cast<intptr_t>(p.value);
        break;
      case EventParam::kResult:
        slots[i] = static_cast<intptr_t>(*p.result);
        break;
      case EventParam::kInt64:
        values64[i] = p.value;
        slots[i] = reinterpret_cast<intptr_t>(&values64[i]);
        break;
      case EventParam::kString:
        if (wide_events_) {
          slots[i] = reinterpret_cast<intptr_t>(p.text->c_str());
        } else {
          std::string& buffer = narrow[strings++];
          if (result == 0) result = WideToNarrow(cp, *p.text, buffer);
          slots[i] = reinterpret_cast<intptr_t>(buffer.c_str());
        }
        break;
    }
  }
  if (result == 0) {
    result = CallSink(sink_, context_, event_id, count, slots, cbparams);
    for (int32_t i = 0; i < count; ++i) {
      if (params[i].kind == EventParam::kResult) *params[i].result = static_cast<int32_t>(slots[i]);
    }
  }
  if (result == 0) return 0;
  if (engine.diag.HasEventErrorText()) return result;
  return FailHandler(name, result, true);
}

int32_t Component::FailHandler(std::u16string_view event_name, int32_t code, bool report) {
  const std::u16string text16 = Format(u"An unhandled error occurred in the %s event handler", event_name);
  std::string text;
  if (WideToNarrow(code_page(), text16, text) != 0) text.assign(text16.begin(), text16.end());
  engine.diag.SetEventError(code, text);
  if (report) {
    FireError(code, text);
    // A failing Error handler must not replace the failure it was told about.
    engine.diag.SetEventError(code, text);
  }
  return code;
}

int32_t Component::FireActivated(int32_t error_code) {
  EventParam p[] = {Int(error_code)};
  return FireStandard(HALVEX_EVENT_ACTIVATED, u"Activated", p, 1);
}

int32_t Component::FireCancelTask(int64_t task_id, const std::u16string& path, int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Result(result_code)};
  return FireStandard(HALVEX_EVENT_CANCEL_TASK, u"CancelTask", p, 3);
}

int32_t Component::FireCreateFile(int64_t task_id, const std::u16string& path, int32_t attributes, int64_t size,
                                  int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                                  int32_t& result_code) {
  EventParam p[] = {Int64(task_id),      Str(path),          Int(attributes),        Int64(size),
                    Int64(creation_time), Int64(last_access_time), Int64(last_write_time), Result(result_code)};
  return FireStandard(HALVEX_EVENT_CREATE_FILE, u"CreateFile", p, 8);
}

int32_t Component::FireCreateFolder(int64_t task_id, const std::u16string& path, int32_t attributes,
                                    int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                                    int32_t& result_code) {
  EventParam p[] = {Int64(task_id),          Str(path),
                    Int(attributes),         Int64(creation_time),
                    Int64(last_access_time), Int64(last_write_time),
                    Result(result_code)};
  return FireStandard(HALVEX_EVENT_CREATE_FOLDER, u"CreateFolder", p, 7);
}

int32_t Component::FireDeleteFile(int64_t task_id, const std::u16string& path, int32_t flags,
                                  int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Int(flags), Result(result_code)};
  return FireStandard(HALVEX_EVENT_DELETE_FILE, u"DeleteFile", p, 4);
}

int32_t Component::FireDeleteFolder(int64_t task_id, const std::u16string& path, int32_t flags,
                                    int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Int(flags), Result(result_code)};
  return FireStandard(HALVEX_EVENT_DELETE_FOLDER, u"DeleteFolder", p, 4);
}

int32_t Component::FireGetFileData(int64_t task_id, const std::u16string& path, int64_t offset, int64_t length,
                                   int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Int64(offset), Int64(length), Result(result_code)};
  return FireStandard(HALVEX_EVENT_GET_FILE_DATA, u"GetFileData", p, 5);
}

int32_t Component::FireListDirectory(int64_t task_id, const std::u16string& path, const std::u16string& mask,
                                     int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Str(mask), Result(result_code)};
  return FireStandard(HALVEX_EVENT_LIST_DIRECTORY, u"ListDirectory", p, 4);
}

int32_t Component::FireLog(int32_t level, const std::u16string& message) {
  EventParam p[] = {Int(level), Str(message)};
  return FireStandard(HALVEX_EVENT_LOG, u"Log", p, 2);
}

int32_t Component::FireRenameFile(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                                  int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Str(new_path), Result(result_code)};
  return FireStandard(HALVEX_EVENT_RENAME_FILE, u"RenameFile", p, 4);
}

int32_t Component::FireRenameFolder(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                                    int32_t& result_code) {
  EventParam p[] = {Int64(task_id), Str(path), Str(new_path), Result(result_code)};
  return FireStandard(HALVEX_EVENT_RENAME_FOLDER, u"RenameFolder", p, 4);
}

int32_t Component::FireResetFile(int64_t task_id, const std::u16string& path) {
  EventParam p[] = {Int64(task_id), Str(path)};
  return FireStandard(HALVEX_EVENT_RESET_FILE, u"ResetFile", p, 2);
}

int32_t Component::FireUpdateFile(int64_t task_id, const std::u16string& path, int32_t update_flags,
                                  int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                                  int64_t last_write_time, int32_t& result_code) {
  EventParam p[] = {Int64(task_id),         Str(path),          Int(update_flags),
                    Int(attributes),        Int64(size),        Int64(creation_time),
                    Int64(last_access_time), Int64(last_write_time), Result(result_code)};
  return FireStandard(HALVEX_EVENT_UPDATE_FILE, u"UpdateFile", p, 9);
}

int32_t Component::FireUpdateFolder(int64_t task_id, const std::u16string& path, int32_t update_flags,
                                    int32_t attributes, int64_t creation_time, int64_t last_access_time,
                                    int64_t last_write_time, int32_t& result_code) {
  EventParam p[] = {Int64(task_id),         Str(path),
                    Int(update_flags),      Int(attributes),
                    Int64(creation_time),   Int64(last_access_time),
                    Int64(last_write_time), Result(result_code)};
  return FireStandard(HALVEX_EVENT_UPDATE_FOLDER, u"UpdateFolder", p, 8);
}

int32_t Component::FireError(int32_t error_code, std::string_view description8) {
  if (sink_ == nullptr) return 0;
  intptr_t slots[2] = {static_cast<intptr_t>(error_code), 0};
  int32_t cbparams[2] = {0, 0};
  // The description is already 8-bit; only wide events need a conversion.
  std::string narrow(description8);
  std::u16string wide;
  int32_t result = 0;
  if (wide_events_) {
    result = NarrowToWide(code_page(), std::string_view(narrow), wide);
    slots[1] = reinterpret_cast<intptr_t>(wide.c_str());
  } else {
    slots[1] = reinterpret_cast<intptr_t>(narrow.c_str());
  }
  if (result == 0) result = CallSink(sink_, context_, HALVEX_EVENT_ERROR, 2, slots, cbparams);
  if (result == 0) return 0;
  if (engine.diag.HasEventErrorText()) return result;
  // No report: a failing Error handler never causes another Error event.
  return FailHandler(u"Error", result, false);
}

int32_t Component::FirePlatformRequest(int32_t request_code, int32_t count, intptr_t* values, int32_t* sizes) {
  if (sink_ == nullptr) return 0;
  if (values == nullptr || sizes == nullptr || count < 0) count = 0;
  MutexLock lock(platform_request_mu_);
  platform_request_storage_.clear();
  const size_t sizes_bytes = static_cast<size_t>(count) * sizeof(int32_t);
  auto& sizes_copy = platform_request_storage_.emplace_back(new char[sizes_bytes + 1]());
  if (count > 0) std::memcpy(sizes_copy.get(), sizes, sizes_bytes);
  const auto* requested = reinterpret_cast<const int32_t*>(sizes_copy.get());

  intptr_t slots[3] = {static_cast<intptr_t>(request_code), reinterpret_cast<intptr_t>(values),
                       reinterpret_cast<intptr_t>(sizes)};
  int32_t cbparams[3] = {0, count, count};
  const int32_t result = CallSink(sink_, context_, HALVEX_EVENT_PLATFORM_REQUEST, 3, slots, cbparams);

  for (int32_t i = 0; i < count; ++i) {
    int32_t wanted;
    std::memcpy(&wanted, requested + i, sizeof(wanted));
    if (wanted != -1 || values[i] == 0) continue;
    const auto* host_value = reinterpret_cast<const char*>(values[i]);
    const size_t length = sizes[i] > 0 ? static_cast<size_t>(sizes[i]) : std::strlen(host_value);
    // One spare zero byte keeps a copied string terminated.
    auto& copy = platform_request_storage_.emplace_back(new char[length + 1]());
    std::memcpy(copy.get(), host_value, length);
    values[i] = reinterpret_cast<intptr_t>(copy.get());
    intptr_t release[2] = {HALVEX_PLATFORM_REQUEST_RELEASE, reinterpret_cast<intptr_t>(host_value)};
    CallSink(sink_, context_, HALVEX_EVENT_PLATFORM_REQUEST, 2, release, nullptr);
  }
  if (result != 0 && !engine.diag.HasEventErrorText()) {
    FailHandler(u"PlatformRequest", result, true);
  }
  return result;
}

}  // namespace corvane
