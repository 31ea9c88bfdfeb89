// Answers to platform callbacks: the CfExecute call is built from the
// action's values and either handed to the deferred executor or run at once.
// Data always runs at once, from the caller's buffer.
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "diag/result_codes.h"
#include "provider/placeholder_manager.h"

namespace corvane {

using namespace platform;

namespace {

// The operation information without the request key.
constexpr DWORD kOperationInfoSize = offsetof(CF_OPERATION_INFO, RequestKey);

constexpr DWORD kTransferDataSize = 40;
constexpr DWORD kRetrieveDataSize = 48;
constexpr DWORD kAckDataSize = 32;
constexpr DWORD kRestartHydrationSize = 40;
constexpr DWORD kAckDehydrateSize = 32;
constexpr DWORD kAckDeleteSize = 16;
constexpr DWORD kAckRenameSize = 16;
static_assert(CF_SIZE_OF_OP_PARAM(TransferData) == kTransferDataSize);
static_assert(CF_SIZE_OF_OP_PARAM(RetrieveData) == kRetrieveDataSize);
static_assert(CF_SIZE_OF_OP_PARAM(AckData) == kAckDataSize);
static_assert(CF_SIZE_OF_OP_PARAM(RestartHydration) == kRestartHydrationSize);
static_assert(CF_SIZE_OF_OP_PARAM(AckDehydrate) == kAckDehydrateSize);
static_assert(CF_SIZE_OF_OP_PARAM(AckDelete) == kAckDeleteSize);
static_assert(CF_SIZE_OF_OP_PARAM(AckRename) == kAckRenameSize);

// Copies `length` bytes at `source` into the request when both are non-zero.
const void* OwnCopy(ExecuteRequest& request, const void* source, int64_t length) {
  if (source == nullptr || length <= 0) return source;
  const auto* bytes = static_cast<const uint8_t*>(source);
  request.owned_data.assign(bytes, bytes + length);
  return request.owned_data.data();
}

}  // namespace

// A copy may be large: no memory is an answer.
HRESULT PlaceholderManager::BuildExecuteRequest(const PlaceholderAction& action, std::unique_ptr<ExecuteRequest>& out,
                                                bool copy_buffers) try {
  auto request = std::make_unique<ExecuteRequest>();
  request->info.StructSize = kOperationInfoSize;
  request->info.Type = action.operation_type;
  request->info.ConnectionKey = action.connection_key;
  request->info.TransferKey = action.transfer_key;
  // The callback's vector dies with the callback; a deferred answer needs its own.
  if (action.correlation_vector != nullptr) {
    request->correlation_vector = *action.correlation_vector;
    request->info.CorrelationVector = &request->correlation_vector;
  }

  // An acknowledgement has no flags of its own (none are defined yet).
  CF_OPERATION_PARAMETERS& p = request->params;
  switch (action.operation_type) {
    case CF_OPERATION_TYPE_TRANSFER_DATA:
      p.ParamSize = kTransferDataSize;
      p.TransferData.Offset = action.offset;
      p.TransferData.Length = action.length;
      p.TransferData.Flags = action.flags;
      p.TransferData.CompletionStatus = action.completion_status;
      p.TransferData.Buffer = copy_buffers ? OwnCopy(*request, action.buffer, action.length) : action.buffer;
      break;
    case CF_OPERATION_TYPE_RETRIEVE_DATA:
      if (action.retrieve_buffer == nullptr || action.returned_length == nullptr) return E_INVALIDARG;
      p.ParamSize = kRetrieveDataSize;
      p.RetrieveData.Offset = action.offset;
      p.RetrieveData.Length = action.length;
      p.RetrieveData.Flags = action.flags;
      p.RetrieveData.Buffer = action.retrieve_buffer;  // a copy would hide the bytes read
      p.RetrieveData.ReturnedLength = 0;
      break;
    case CF_OPERATION_TYPE_ACK_DATA:
      p.ParamSize = kAckDataSize;
      p.AckData.Offset = action.offset;
      p.AckData.Length = action.length;
      p.AckData.Flags = CF_OPERATION_ACK_DATA_FLAG_NONE;
      p.AckData.CompletionStatus = action.completion_status;
      break;
    case CF_OPERATION_TYPE_RESTART_HYDRATION:
      p.ParamSize = kRestartHydrationSize;
      p.RestartHydration.FileIdentityLength = action.file_identity_length;
      p.RestartHydration.Flags = action.flags;
      p.RestartHydration.FsMetadata = nullptr;
      p.RestartHydration.FileIdentity = OwnCopy(*request, action.file_identity, action.file_identity_length);
      break;
    case CF_OPERATION_TYPE_ACK_DEHYDRATE:
      p.ParamSize = kAckDehydrateSize;
      p.AckDehydrate.FileIdentityLength = action.file_identity_length;
      p.AckDehydrate.Flags = CF_OPERATION_ACK_DEHYDRATE_FLAG_NONE;
      p.AckDehydrate.CompletionStatus = action.completion_status;
      p.AckDehydrate.FileIdentity = OwnCopy(*request, action.file_identity, action.file_identity_length);
      break;
    case CF_OPERATION_TYPE_ACK_DELETE:
      p.ParamSize = kAckDeleteSize;
      p.AckDelete.Flags = CF_OPERATION_ACK_DELETE_FLAG_NONE;
      p.AckDelete.CompletionStatus = action.completion_status;
      break;
    case CF_OPERATION_TYPE_ACK_RENAME:
      p.ParamSize = kAckRenameSize;
      p.AckRename.Flags = CF_OPERATION_ACK_RENAME_FLAG_NONE;
      p.AckRename.CompletionStatus = action.completion_status;
      break;
    default:
      return E_NOTIMPL;
  }
  out = std::move(request);
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
} catch (const std::length_error&) {
  return E_OUTOFMEMORY;
}

HRESULT PlaceholderManager::ExecutePlaceholderAction(const PlaceholderAction* action) {
  if (action == nullptr || action->size != sizeof(PlaceholderAction)) {
    LogExit(E_INVALIDARG, u"ExecutePlaceholderAction result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"ExecutePlaceholderAction called, type: %d",
       static_cast<int32_t>(action->operation_type));

  const bool retrieve = action->operation_type == CF_OPERATION_TYPE_RETRIEVE_DATA;
  // Data goes from the caller's buffer to the file in the caller's call: a
  // deferred write would need its own copy of every byte.
  const bool in_call = retrieve || action->operation_type == CF_OPERATION_TYPE_TRANSFER_DATA;
  DeferredExecutor* executor = in_call || hydrations_waiting_.load() > 0 ? nullptr : executor_.load();
  std::unique_ptr<ExecuteRequest> request;
  HRESULT hr = BuildExecuteRequest(*action, request, executor != nullptr);
  if (SUCCEEDED(hr)) {
    hr = executor != nullptr && executor->Enqueue(request) ? S_OK : request->Run();
    if (retrieve) *action->returned_length = SUCCEEDED(hr) ? request->params.RetrieveData.ReturnedLength : 0;
  }
  LogExit(hr, u"ExecutePlaceholderAction result code: 0x%x", {static_cast<uint32_t>(hr)});
  return hr;
}

int32_t PlaceholderManager::RunDeferredExecute(ExecuteRequest& request) {
  const HRESULT hr = request.Run();
  if (SUCCEEDED(hr)) {
    LogF(sink(), kLogCloudTrace, u"Deferred CfExecute succeeded, hr=0x%x", static_cast<uint32_t>(hr));
    return kOk;
  }
  LogF(sink(), kLogVerbose, u"Deferred CfExecute failed, hr=0x%x", static_cast<uint32_t>(hr));
  return kErrNoData;
}

}  // namespace corvane
