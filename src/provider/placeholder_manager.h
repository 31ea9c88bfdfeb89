// The one layer that calls the cloud-files platform and the search indexer.
// Each operation checks its request record, opens what the platform call
// needs, makes the call, closes the handle, logs entry and exit, and returns
// the platform's HRESULT unchanged: callers translate results themselves.
// No lock: every operation works on its own record and its own handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "diag/diagnostics.h"
#include "platform/cloud_files.h"
#include "provider/placeholder_requests.h"

namespace corvane {

using platform::HRESULT;

// A handle opened for one operation, closed the way it was opened.
class PlaceholderHandle {
 public:
  PlaceholderHandle() = default;
  PlaceholderHandle(const PlaceholderHandle&) = delete;
  PlaceholderHandle& operator=(const PlaceholderHandle&) = delete;
  ~PlaceholderHandle() { Close(); }

  void Reset(platform::Handle handle, bool oplock);
  void Close();
  platform::Handle get() const { return handle_; }

 private:
  platform::Handle handle_ = platform::INVALID_HANDLE_VALUE;
  bool oplock_ = false;
};

// A placeholder whose data is wholly on disk (a folder always is).
inline bool IsWholePlaceholder(platform::CF_PLACEHOLDER_STATE state) {
  return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
         !(state & (platform::CF_PLACEHOLDER_STATE_PARTIAL | platform::CF_PLACEHOLDER_STATE_PARTIALLY_ON_DISK));
}

class PlaceholderManager {
 public:
  // Logs through the engine's diagnostics, whose OS last error also takes
  // the failures of the provider-level wrappers. COM needs no set-up here:
  // the local platform has none.
  explicit PlaceholderManager(Diagnostics& diagnostics);

  // The watcher, once it runs, takes execute requests; null runs them at once.
  void SetDeferredExecutor(DeferredExecutor* executor) { executor_.store(executor); }

  // With `oplock` the exclusive cloud-files open (flags unused), else a
  // CreateFileW with `access`: none is enough for the platform's state
  // calls, reading the item's size and times through the handle takes
  // FILE_READ_ATTRIBUTES. A failure is logged and returned.
  HRESULT OpenPlaceholderFile(const char16_t* path, platform::DWORD flags, bool oplock, PlaceholderHandle& handle,
                              platform::DWORD access = 0);

  HRESULT ConnectPlaceholderRoot(ConnectRootRequest* request, void* provider, const PlaceholderCallbackEntries& entries);
  // Frees the connection (allocated by ConnectPlaceholderRoot) in every case.
  HRESULT DisconnectPlaceholderRoot(RootConnection* connection);

  HRESULT RegisterPlaceholderRoot(const RegisterRootRequest* request);
  HRESULT UnregisterPlaceholderRoot(const char16_t* path);
  HRESULT SetupFolderForIndex(const char16_t* path, bool add);
  bool IsSyncRoot(const char16_t* path);

  HRESULT CreatePlaceholder(const CreatePlaceholderRequest* request);
  // New files in one folder in one platform call; each entry's Result tells
  // its own outcome, the return the first failure.
  HRESULT CreatePlaceholders(const char16_t* base_directory, platform::CF_PLACEHOLDER_CREATE_INFO* entries,
                             platform::DWORD count);
  HRESULT ConvertToPlaceholder(ConvertRequest* request);
  HRESULT UpdatePlaceholder(const UpdatePlaceholderRequest* request);
  HRESULT HydratePlaceholder(const HydrateRequest* request);
  HRESULT DehydratePlaceholder(const HydrateRequest* request);
  HRESULT GetPlaceholderInfo(PlaceholderInfoRequest* request);
  platform::CF_PLACEHOLDER_STATE GetPlaceholderState(const char16_t* path);
  HRESULT SetPlaceholderStates(PlaceholderStatesRequest* request);

  // SetPlaceholderStates for the provider: 0, or HALVEX_ERR_OS_CALL_FAILED
  // with the HRESULT kept as the engine's OS last error.
  int32_t SetPlaceholderStatesForProvider(PlaceholderStatesRequest* request);
  // The item id stored as the identity of the placeholder at `path` ("\" is
  // the sync root, whose id is empty), with `since` the time the item took
  // it, with `marks` its IdentityMark bits. False (logged, OS last error
  // kept) when the platform cannot tell.
  bool GetItemIdByPath(const char16_t* path, std::u16string& item_id, int64_t* since = nullptr,
                       uint16_t* marks = nullptr);
  // Sets and clears IdentityMark bits of the placeholder at `path`, keeping
  // its id, time, data, metadata and states; writes nothing when they stay.
  HRESULT ChangeIdentityMarks(const char16_t* path, uint16_t set, uint16_t clear);
  // 0 with `excluded` set, or HALVEX_ERR_OS_CALL_FAILED.
  int32_t GetPlaceholderExcludedState(const char16_t* path, bool& excluded);

  HRESULT ExecutePlaceholderAction(const PlaceholderAction* action);
  // Builds the CfExecute call of an action; exposed for the deferred path.
  // `copy_buffers` false borrows the caller's buffer, for a request that
  // runs before the caller's memory can go.
  static HRESULT BuildExecuteRequest(const PlaceholderAction& action, std::unique_ptr<ExecuteRequest>& request,
                                     bool copy_buffers = true);
  // Runs a deferred request on the executor's thread: 0, or
  // HALVEX_ERR_NO_DATA (0x21000030) when CfExecute failed.
  int32_t RunDeferredExecute(ExecuteRequest& request);

 private:
  LogSink* sink() const { return diagnostics_.log_sink(); }
  // The exit line: level 8705 on success; level 4 and the system's text of
  // the code on failure.
  void LogExit(HRESULT hr, std::u16string_view format, std::initializer_list<FormatArg> args);
  void LogOsMessage(HRESULT hr);
  HRESULT OpenForItem(const char16_t* path, platform::DWORD directory_flags, platform::DWORD file_flags,
                      bool oplock, PlaceholderHandle& handle, bool* is_directory = nullptr);

  Diagnostics& diagnostics_;
  std::atomic<DeferredExecutor*> executor_{nullptr};
  // Hydrations this process waits for (a pin, data fetched before an item
  // is offered), often on the executor's own thread: the transfers that
  // answer them run at once rather than queue behind it.
  std::atomic<uint32_t> hydrations_waiting_{0};
};

}  // namespace corvane
