// The one dispatcher every platform callback goes through, and the answers
// built for the platform.
#include "callbacks/callback_dispatch.h"

#include <new>

#include "callbacks/callback_handlers.h"
#include "callbacks/fetch_data.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/host_events.h"
#include "engine/task.h"
#include "engine/task_cancel.h"
#include "platform/files.h"
#include "provider/placeholder_manager.h"
#include "provider/provider.h"
#include "support/mutex.h"

namespace corvane {

using namespace platform;

namespace {

bool IsAsciiCaseEqual(char16_t a, char16_t b) {
  auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  return lower(a) == lower(b);
}

bool StartsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (!IsAsciiCaseEqual(text[i], prefix[i])) return false;
  return true;
}

// The sync-root folder as the platform names paths in callbacks: from the
// root of its volume, ending in a backslash. Text after a drive letter would
// be wrong for "\\?\" paths, mount points and substituted drives.
std::u16string CallbackRoot(Engine& engine) {
  std::u16string root;
  if (!GetVolumeRelativePath(engine.EffectiveSyncRootPath(), root) || root.empty()) return std::u16string();
  if (root.back() != u'\\') root.push_back(u'\\');
  return root;
}

bool EngineRunning(const Engine& engine) {
  const EngineState& s = engine.state;
  return s.activating.load() != 0 || (s.active.load() != 0 && s.deactivating.load() == 0);
}

// Cancels of fetches and listings: the task of the path is cancelled; its
// owner (the fetch's own dispatch, or the async monitor) removes it, so the
// record and its context are never freed under a thread that still runs it.
int32_t HandleCancel(Engine& engine, const char16_t* path, std::u16string_view relative, int32_t type) {
  if (type == OP_READ_DATA) {
    LogF(engine.diag.log_sink(), kLogVerbose, u"Fetch cancel callback fired for '%s'", path);
  } else {
    LogF(engine.diag.log_sink(), kLogVerbose, u"Fetch placeholders cancel callback fired for '%s'", path);
  }
  return CancelTransferByPath(engine, relative, type) ? kOk : kErrInvalidParameter;
}

int32_t CancelledType(CF_CALLBACK_TYPE type) {
  return type == CF_CALLBACK_TYPE_CANCEL_FETCH_DATA ? OP_READ_DATA : OP_LIST;
}

bool HasTask(Engine& engine, std::u16string_view relative, CF_CALLBACK_TYPE type) {
  Task* found = nullptr;
  {
    TaskRegistry::Lock lock(engine.tasks);
    found = engine.tasks.AcquireByKeyLocked(relative, CancelledType(type));
  }
  if (found == nullptr) return false;
  engine.tasks.ReleaseTask(found);
  return true;
}

// Ends a callback's task: its context goes once no thread can reach it, the
// registration (when there was one) and the dispatcher's own reference go.
void EndCallbackTask(Engine& engine, Task* task) {
  ReleaseFetchContext(engine, *task);
  engine.tasks.RemoveTask(task, task->TaskId, false);
  engine.tasks.ReleaseTask(task);
}

}  // namespace

const char16_t* CallbackTypeName(uint32_t type) {
  static const char16_t* const kNames[] = {
      u"CF_CALLBACK_TYPE_FETCH_DATA",
      u"CF_CALLBACK_TYPE_VALIDATE_DATA",
      u"CF_CALLBACK_TYPE_CANCEL_FETCH_DATA",
      u"CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS",
      u"CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS",
      u"CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION",
      u"CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION",
      u"CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE",
      u"CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION",
      u"CF_CALLBACK_TYPE_NOTIFY_DELETE",
      u"CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION",
      u"CF_CALLBACK_TYPE_NOTIFY_RENAME",
      u"CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION",
  };
  return type < 13 ? kNames[type] : u"UNKNOWN";
}

Engine* EngineOfCallback(const CF_CALLBACK_INFO* info) {
  if (info == nullptr || info->CallbackContext == nullptr) return nullptr;
  const auto* connection = static_cast<const RootConnection*>(info->CallbackContext);
  if (connection->provider != nullptr) return EngineOfProvider(connection->provider);
  return static_cast<Engine*>(connection->callback_context);
}

int32_t CallbackRelativePath(Engine& engine, std::u16string_view full_path, std::u16string& relative) {
  relative.clear();
  const std::u16string root = CallbackRoot(engine);
  if (root.size() > 1 && full_path.size() > root.size() && StartsWithIgnoringAsciiCase(full_path, root)) {
    relative.assign(full_path.substr(root.size() - 1));
    return kOk;
  }
  LogF(engine.diag.log_sink(), kLogFailure, u"Failed to get relative path for '%s'", full_path);
  return kErrInvalidParameter;
}

HRESULT CompleteCallbackAction(Engine& engine, PlaceholderAction& action, int32_t result_code) {
  action.completion_status = static_cast<NTSTATUS>(CompletionStatusFor(result_code));
  if (engine.placeholder_manager != nullptr)
    return engine.placeholder_manager->ExecutePlaceholderAction(&action);
  // Without a manager (no deferred executor either) the answer runs at once,
  // while the caller's buffer is there: no copy of it is needed.
  std::unique_ptr<ExecuteRequest> request;
  HRESULT hr = PlaceholderManager::BuildExecuteRequest(action, request, false);
  if (SUCCEEDED(hr)) hr = request->Run();
  return hr;
}

namespace {

thread_local const Engine* callback_engine = nullptr;

// Marks the thread as serving a callback of the engine while it lives.
class CallbackThreadMark {
 public:
  explicit CallbackThreadMark(const Engine& engine) : previous_(callback_engine) { callback_engine = &engine; }
  ~CallbackThreadMark() { callback_engine = previous_; }

 private:
  const Engine* previous_;
};

// Holds the EventLock, when there is one, from here to Release or the end of
// the scope. The analysis cannot follow a lock that may be absent.
class SCOPED_CAPABILITY EventLockHold {
 public:
  explicit EventLockHold(Mutex* lock) ACQUIRE(lock) NO_THREAD_SAFETY_ANALYSIS : lock_(lock) {
    if (lock_ != nullptr) lock_->Lock();
  }
  ~EventLockHold() RELEASE() NO_THREAD_SAFETY_ANALYSIS { Release(); }
  EventLockHold(const EventLockHold&) = delete;
  EventLockHold& operator=(const EventLockHold&) = delete;

  void Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (lock_ != nullptr) lock_->Unlock();
    lock_ = nullptr;
  }

 private:
  Mutex* lock_;
};

}  // namespace

bool InsidePlatformCallback(const Engine& engine) { return callback_engine == &engine; }

void DispatchPlaceholderCallback(CF_CALLBACK_TYPE type, const CF_CALLBACK_INFO* info,
                                 const CF_CALLBACK_PARAMETERS* params) {
  if (info == nullptr || params == nullptr) return;
  const bool no_task =
      type == CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION || type == CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION;
  Engine* engine_ptr = EngineOfCallback(info);
  if (engine_ptr == nullptr) {
    RefuseCallback(type, *info, *params, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    return;
  }
  Engine& engine = *engine_ptr;
  LogSink* sink = engine.diag.log_sink();

  const bool existing_task =
      type == CF_CALLBACK_TYPE_CANCEL_FETCH_DATA || type == CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS;
  const bool serialised = type != CF_CALLBACK_TYPE_CANCEL_FETCH_DATA && engine.settings.serialize_events.load() != 0;
  const char16_t* path = info->NormalizedPath != nullptr ? info->NormalizedPath : u"";
  const char16_t* type_name = CallbackTypeName(type);

  const CallbackThreadMark mark(engine);
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadStart();
  if (serialised) {
    LogF(sink, kLogVerbose,
         u"Acquiring critical section to process callback in SerializeEvents mode for '%s', type: %s", path,
         type_name);
  }
  // The lock exists only when the engine was initialised with SerializeEvents
  // on; the setting cannot change while callbacks can arrive.
  EventLockHold event_hold(serialised ? engine.event_lock.get() : nullptr);
  if (serialised) {
    LogF(sink, kLogVerbose, u"Acquired critical section to process callback in SerializeEvents mode for '%s', type: %s",
         path, type_name);
  }

  // A callback while the engine neither starts nor runs is refused at once:
  // nobody would answer it, and the application would wait for the platform's
  // time limit.
  NTSTATUS refusal = STATUS_SUCCESS;
  if (!EngineRunning(engine)) {
    refusal = STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  } else {
    LogF(sink, kLogVerbose, u"Placeholder callback fired for '%s', type: %s", path, type_name);
    Task* task = nullptr;
    bool dropped = false;
    std::u16string relative;
    if (existing_task) {
      // A cancel for which no task exists is dropped without a word.
      dropped = CallbackRelativePath(engine, path, relative) != kOk || !HasTask(engine, relative, type);
    } else if (!no_task) {
      auto* context = new (std::nothrow) CallbackTaskContext;
      if (context != nullptr) {
        task = engine.tasks.CreateTask(u"", OP_UNDEFINED, context);
        if (task == nullptr) delete context;
      }
      dropped = task == nullptr;
      if (dropped) refusal = STATUS_CLOUD_FILE_INSUFFICIENT_RESOURCES;
    }

    if (!dropped) {
      int32_t result = kOk;
      switch (type) {
        case CF_CALLBACK_TYPE_FETCH_DATA:
          result = HandleFetchData(engine, info, params->FetchData, task);
          break;
        case CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS:
          result = HandleFetchPlaceholders(engine, info);
          break;
        case CF_CALLBACK_TYPE_CANCEL_FETCH_DATA:
        case CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS:
          result = HandleCancel(engine, path, relative, CancelledType(type));
          break;
        case CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION:
          result = HandleOpen(engine, info);
          break;
        case CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION:
          result = HandleClose(engine, info, params->CloseCompletion);
          break;
        case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE:
          result = HandleDehydrate(engine, info);
          break;
        case CF_CALLBACK_TYPE_VALIDATE_DATA:
          // Never asked for (no validation in the hydration policy).
          refusal = STATUS_CLOUD_FILE_NOT_SUPPORTED;
          break;
        default:
          break;  // dehydrate completion needs nothing
      }

      if (result != kOk && result != kErrPending) {
        LogF(sink, kLogFailure, u"Placeholder callback failed for '%s'. Type: %s, error code: 0x%x", path, type_name,
             static_cast<uint32_t>(result));
        if (engine.events != nullptr) engine.events->FireError(result, "Placeholder callback failed");
      } else {
        LogF(sink, kLogVerbose, u"Placeholder callback type %s finished successfully for '%s'", type_name, path);
      }
      if (task != nullptr) {
        if (result == kErrPending) {
          // The registration stays for the async monitor; only the
          // dispatcher's own reference goes.
          engine.tasks.ReleaseTask(task);
        } else {
          EndCallbackTask(engine, task);
        }
      }
    }
  }

  if (refusal != STATUS_SUCCESS) RefuseCallback(type, *info, *params, refusal);
  if (serialised) {
    LogF(sink, kLogVerbose, u"Releasing critical section in SerializeEvents mode for '%s', type: %s", path,
         type_name);
    event_hold.Release();
    LogF(sink, kLogVerbose, u"Released critical section in SerializeEvents mode for '%s', type: %s", path,
         type_name);
  }
  if (engine.thread_hook != nullptr) engine.thread_hook->OnThreadEnd();
}

void ReleaseFetchContext(Engine&, Task& task) {
  CallbackTaskContext* context = nullptr;
  {
    RecursiveMutexLock lock(task.TaskLock);
    context = task.Context;
    task.Context = nullptr;
  }
  delete context;
}

}  // namespace corvane

namespace corvane {

Engine* EngineOfProvider(void* provider) {
  // Every engine core is the base of an engine.
  return provider != nullptr ? &static_cast<Engine&>(static_cast<Provider*>(provider)->core()) : nullptr;
}

}  // namespace corvane
