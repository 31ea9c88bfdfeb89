// The request records of the placeholder manager. Each begins with its own
// size, which must equal sizeof the record: callers fill the records field by
// field, and the size catches a caller built against another layout before
// anything is opened. Paths are full Windows-form paths, NUL-terminated.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/cloud_files.h"

namespace corvane {

// What ConnectPlaceholderRoot makes: its address is the callback context the
// platform hands to every callback, so a callback finds the provider from it.
struct RootConnection {
  void* callback_context = nullptr;
  platform::CF_CONNECTION_KEY key;
  void* provider = nullptr;
};

// The callback entry functions, one per callback type. A null entry
// registers the type without a function.
struct PlaceholderCallbackEntries {
  platform::CF_CALLBACK fetch_data = nullptr;
  platform::CF_CALLBACK validate_data = nullptr;
  platform::CF_CALLBACK cancel_fetch_data = nullptr;
  platform::CF_CALLBACK fetch_placeholders = nullptr;
  platform::CF_CALLBACK cancel_fetch_placeholders = nullptr;
  platform::CF_CALLBACK dehydrate = nullptr;
  platform::CF_CALLBACK dehydrate_completion = nullptr;
  platform::CF_CALLBACK delete_entry = nullptr;
  platform::CF_CALLBACK delete_completion = nullptr;
  platform::CF_CALLBACK rename = nullptr;
  platform::CF_CALLBACK rename_completion = nullptr;
  platform::CF_CALLBACK open_completion = nullptr;
  platform::CF_CALLBACK close_completion = nullptr;
};

struct ConnectRootRequest {
  uint32_t size = sizeof(ConnectRootRequest);
  const char16_t* sync_root_path = nullptr;
  void* callback_context = nullptr;  // must not be null
  platform::CF_CONNECT_FLAGS connect_flags = 0;
  RootConnection* connection = nullptr;  // out; owned by the caller until disconnected
  uint32_t open_close_notifications = 0;
  uint32_t delete_rename_notifications = 0;
};

struct RegisterRootRequest {
  uint32_t size = sizeof(RegisterRootRequest);
  const char16_t* sync_root_path = nullptr;
  const char16_t* provider_name = nullptr;
  const char16_t* provider_version = nullptr;
  uint16_t hydration_primary = 0;
  uint16_t hydration_modifier = 0;
  uint16_t population_primary = 0;
  uint16_t population_modifier = 0;
  uint32_t in_sync_policy = 0;
  uint32_t hard_link_policy = 0;
  platform::CF_REGISTER_FLAGS register_flags = 0;
};

struct CreatePlaceholderRequest {
  uint32_t size = sizeof(CreatePlaceholderRequest);
  const char16_t* base_directory = nullptr;
  const char16_t* relative_name = nullptr;
  int64_t file_size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;
  uint32_t file_attributes = 0;
  const void* file_identity = nullptr;
  uint32_t file_identity_length = 0;
  uint32_t create_flags = 0;
  platform::CF_PLACEHOLDER_CREATE_FLAGS placeholder_flags = 0;
};

struct ConvertRequest {
  uint32_t size = sizeof(ConvertRequest);
  const char16_t* path = nullptr;
  const void* file_identity = nullptr;
  uint32_t file_identity_length = 0;
  platform::CF_CONVERT_FLAGS convert_flags = 0;
  // Out: the file's change number once converted, for the in-sync check
  // (0 where the platform keeps none).
  platform::USN usn = 0;
};

struct UpdatePlaceholderRequest {
  uint32_t size = sizeof(UpdatePlaceholderRequest);
  const char16_t* path = nullptr;
  // No size, times or attributes reach the platform: the item keeps its own.
  bool keep_metadata = false;
  int64_t file_size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;
  uint32_t file_attributes = 0;
  const void* file_identity = nullptr;
  uint32_t file_identity_length = 0;
  platform::CF_UPDATE_FLAGS update_flags = 0;
  const platform::CF_FILE_RANGE* dehydrate_ranges = nullptr;
  uint32_t dehydrate_range_count = 0;
};

// Also the record of DehydratePlaceholder (flags are CF_DEHYDRATE_FLAGS there).
struct HydrateRequest {
  uint32_t size = sizeof(HydrateRequest);
  const char16_t* path = nullptr;
  int64_t starting_offset = 0;
  int64_t length = 0;
  uint32_t flags = 0;
};

struct PlaceholderInfoRequest {
  uint32_t size = sizeof(PlaceholderInfoRequest);
  const char16_t* path = nullptr;
  platform::CF_PLACEHOLDER_INFO_CLASS info_class = platform::CF_PLACEHOLDER_INFO_BASIC;
  uint32_t buffer_length = 0;
  uint32_t returned_length = 0;  // out
  void* buffer = nullptr;
};

constexpr uint32_t kSetPinState = 0x1;
constexpr uint32_t kSetInSyncState = 0x2;

// A file as the host took it. Its in-sync state is only set while the file
// still is that: a write since moves its size or time, a save over it its
// id. A folder always matches.
struct TakenVersion {
  int64_t size = -1;
  int64_t last_write_time = 0;
  int64_t file_id = -1;  // -1: not checked
  bool Matches(platform::Handle handle) const;
};

struct PlaceholderStatesRequest {
  uint32_t size = sizeof(PlaceholderStatesRequest);
  const char16_t* path = nullptr;
  uint32_t what_to_set = 0;  // kSetPinState | kSetInSyncState
  platform::CF_IN_SYNC_STATE in_sync_state = platform::CF_IN_SYNC_STATE_NOT_IN_SYNC;
  platform::CF_SET_IN_SYNC_FLAGS in_sync_flags = 0;
  platform::CF_PIN_STATE pin_state = platform::CF_PIN_STATE_UNSPECIFIED;
  platform::CF_SET_PIN_FLAGS pin_flags = 0;
  platform::USN usn = 0;  // in/out
  // Set: the states stay as they are unless the item still is this
  // (ERROR_CLOUD_FILE_NOT_IN_SYNC), checked on the handle that sets them.
  const TakenVersion* unchanged_since = nullptr;
};

// The answer to one callback, built from typed values: each answer a fetch
// sends is a copy of its fetch's answer with the chunk's range and bytes.
struct PlaceholderAction {
  uint32_t size = sizeof(PlaceholderAction);
  platform::CF_OPERATION_TYPE operation_type = platform::CF_OPERATION_TYPE_TRANSFER_DATA;
  platform::CF_CONNECTION_KEY connection_key;
  platform::CF_TRANSFER_KEY transfer_key = 0;
  const platform::CORRELATION_VECTOR* correlation_vector = nullptr;
  platform::NTSTATUS completion_status = platform::STATUS_SUCCESS;
  // The range of a data answer, and the bytes of a transfer.
  int64_t offset = 0;
  int64_t length = 0;
  const void* buffer = nullptr;
  // A transfer's or restart's own flags; acknowledgements have none.
  uint32_t flags = 0;
  // Restart of a hydration and acknowledgement of a dehydration.
  const void* file_identity = nullptr;
  uint32_t file_identity_length = 0;
  // A retrieval reads the file's bytes into the caller's buffer and says
  // how many it read; it runs while the caller waits.
  void* retrieve_buffer = nullptr;
  int64_t* returned_length = nullptr;
};

// A CfExecute call ready to run, owning everything it points to, so it can
// run later on another thread after the caller's memory is gone.
// Not copyable: `info` and `params` point into the request itself.
struct ExecuteRequest {
  ExecuteRequest() = default;
  ExecuteRequest(const ExecuteRequest&) = delete;
  ExecuteRequest& operator=(const ExecuteRequest&) = delete;
  ~ExecuteRequest() = default;

  platform::CF_OPERATION_INFO info;
  platform::CF_OPERATION_PARAMETERS params{};
  platform::CORRELATION_VECTOR correlation_vector;
  std::vector<uint8_t> owned_data;  // buffer or identity copy, when one was made

  platform::HRESULT Run() { return platform::CfExecute(&info, &params); }
};

// Something that runs execute requests later on a thread of its own (the
// directory watcher). Enqueue takes ownership when it returns true; false
// (stopping) leaves the request with the caller, who then runs it at once.
class DeferredExecutor {
 public:
  virtual ~DeferredExecutor() = default;
  virtual bool Enqueue(std::unique_ptr<ExecuteRequest>& request) = 0;
};

}  // namespace corvane
