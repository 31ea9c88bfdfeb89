// Answers to platform callbacks: the CfExecute call is built from the named
// values of the callback's parameter record and either handed to the
// deferred executor or run at once.
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "diag/result_codes.h"
#include "provider/placeholder_manager.h"
#include "support/mutex.h"

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

// Reads that must find their value: S_FALSE (absent) passes with 0, like the
// accessor answers it; a conversion failure ends the build.
struct NamedReader {
  const CallbackParams& params;
  HRESULT failure = S_OK;

  int64_t Int64(const char16_t* name) {
    int64_t v = 0;
    Keep(params.GetInt64(name, &v));
    return v;
  }
  uint32_t UInt32(const char16_t* name) {
    int32_t v = 0;
    Keep(params.GetInt32(name, &v));
    return static_cast<uint32_t>(v);
  }
  void* Pointer(const char16_t* name) {
    void* v = nullptr;
    Keep(params.GetPointer(name, &v));
    return v;
  }
  void Keep(HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(failure)) failure = hr;
  }
};

// Copies `length` bytes at `source` into the request when both are non-zero.
const void* OwnCopy(ExecuteRequest& request, const void* source, int64_t length) {
  if (source == nullptr || length <= 0) return source;
  const auto* bytes = static_cast<const uint8_t*>(source);
  request.owned_data = TakeCopyBuffer(static_cast<size_t>(length));
  request.owned_data.assign(bytes, bytes + length);
  return request.owned_data.data();
}

// Enough for the copies of one read's transfer in flight on the workers;
// smaller copies (identities) are cheap anyway, larger ones rare.
constexpr size_t kKeptBytes = 16 * 1024 * 1024;
constexpr size_t kSmallestKept = 64 * 1024;
constexpr size_t kLargestKept = 4 * 1024 * 1024;

struct KeptBuffers {
  Mutex mutex;
  std::vector<std::vector<uint8_t>> buffers GUARDED_BY(mutex);
  size_t bytes GUARDED_BY(mutex) = 0;
};

// Never destroyed: a request may end on a worker during the process's exit.
KeptBuffers& Kept() {
  static KeptBuffers* kept = new KeptBuffers;
  return *kept;
}

}  // namespace

std::vector<uint8_t> TakeCopyBuffer(size_t length) {
  if (length < kSmallestKept || length > kLargestKept) return {};
  KeptBuffers& kept = Kept();
  MutexLock lock(kept.mutex);
  for (auto& buffer : kept.buffers) {
    if (buffer.capacity() < length) continue;
    std::swap(buffer, kept.buffers.back());
    std::vector<uint8_t> taken = std::move(kept.buffers.back());
    kept.buffers.pop_back();
    kept.bytes -= taken.capacity();
    return taken;
  }
  return {};
}

void KeepCopyBuffer(std::vector<uint8_t>&& buffer) {
  if (buffer.capacity() < kSmallestKept || buffer.capacity() > kLargestKept) return;
  buffer.clear();
  KeptBuffers& kept = Kept();
  MutexLock lock(kept.mutex);
  if (kept.bytes + buffer.capacity() > kKeptBytes) return;
  kept.bytes += buffer.capacity();
  kept.buffers.push_back(std::move(buffer));
}

// Copies may be large (a whole transfer chunk): no memory is an answer.
HRESULT PlaceholderManager::BuildExecuteRequest(const PlaceholderAction& action, std::unique_ptr<ExecuteRequest>& out,
                                                bool copy_buffers) try {
  auto request = std::make_unique<ExecuteRequest>();
  request->info.StructSize = kOperationInfoSize;
  request->info.Type = action.operation_type;
  request->info.ConnectionKey = action.connection_key;
  request->info.TransferKey = action.transfer_key;
  request->gate = action.gate;
  // The callback's vector dies with the callback; a deferred answer needs its own.
  if (action.correlation_vector != nullptr) {
    request->correlation_vector = *action.correlation_vector;
    request->info.CorrelationVector = &request->correlation_vector;
  }

  NamedReader read{*action.params};
  // An acknowledgement has flags of its own (none defined yet): the record's
  // "Flags" are the callback's and mean something else there.
  CF_OPERATION_PARAMETERS& p = request->params;
  switch (action.operation_type) {
    case CF_OPERATION_TYPE_TRANSFER_DATA: {
      p.ParamSize = kTransferDataSize;
      p.TransferData.Offset = read.Int64(u"Offset");
      p.TransferData.Length = read.Int64(u"Length");
      p.TransferData.Flags = read.UInt32(u"Flags");
      p.TransferData.CompletionStatus = action.completion_status;
      const void* buffer = read.Pointer(u"Buffer");
      if (SUCCEEDED(read.failure))
        p.TransferData.Buffer = copy_buffers ? OwnCopy(*request, buffer, p.TransferData.Length) : buffer;
      break;
    }
    case CF_OPERATION_TYPE_RETRIEVE_DATA: {
      p.ParamSize = kRetrieveDataSize;
      p.RetrieveData.Offset = read.Int64(u"Offset");
      p.RetrieveData.Length = read.Int64(u"Length");
      p.RetrieveData.Flags = read.UInt32(u"Flags");
      void* buffer = read.Pointer(u"Buffer");
      p.RetrieveData.ReturnedLength = read.Int64(u"ReturnedLength");
      // Retrieved bytes land in the caller's buffer: a copy would hide them.
      p.RetrieveData.Buffer = buffer;
      break;
    }
    case CF_OPERATION_TYPE_ACK_DATA:
      p.ParamSize = kAckDataSize;
      p.AckData.Offset = read.Int64(u"Offset");
      p.AckData.Length = read.Int64(u"Length");
      p.AckData.Flags = CF_OPERATION_ACK_DATA_FLAG_NONE;
      p.AckData.CompletionStatus = action.completion_status;
      break;
    case CF_OPERATION_TYPE_RESTART_HYDRATION: {
      p.ParamSize = kRestartHydrationSize;
      const void* identity = read.Pointer(u"FileIdentity");
      p.RestartHydration.FileIdentityLength = read.UInt32(u"FileIdentityLength");
      p.RestartHydration.Flags = read.UInt32(u"Flags");
      p.RestartHydration.FsMetadata = nullptr;
      if (SUCCEEDED(read.failure))
        p.RestartHydration.FileIdentity = OwnCopy(*request, identity, p.RestartHydration.FileIdentityLength);
      break;
    }
    case CF_OPERATION_TYPE_ACK_DEHYDRATE: {
      p.ParamSize = kAckDehydrateSize;
      const void* identity = read.Pointer(u"FileIdentity");
      p.AckDehydrate.FileIdentityLength = read.UInt32(u"FileIdentityLength");
      p.AckDehydrate.Flags = CF_OPERATION_ACK_DEHYDRATE_FLAG_NONE;
      p.AckDehydrate.CompletionStatus = action.completion_status;
      if (SUCCEEDED(read.failure))
        p.AckDehydrate.FileIdentity = OwnCopy(*request, identity, p.AckDehydrate.FileIdentityLength);
      break;
    }
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
  if (FAILED(read.failure)) return read.failure;
  out = std::move(request);
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
} catch (const std::length_error&) {
  return E_OUTOFMEMORY;
}

HRESULT PlaceholderManager::ExecutePlaceholderAction(const PlaceholderAction* action) {
  if (action == nullptr || action->size != sizeof(PlaceholderAction) || action->params == nullptr) {
    LogExit(E_INVALIDARG, u"ExecutePlaceholderAction result code: 0x%x", {static_cast<uint32_t>(E_INVALIDARG)});
    return E_INVALIDARG;
  }
  LogF(sink(), kLogCloudTrace, u"ExecutePlaceholderAction called, type: %d",
       static_cast<int32_t>(action->operation_type));

  std::unique_ptr<ExecuteRequest> request;
  HRESULT hr = BuildExecuteRequest(*action, request);
  if (SUCCEEDED(hr)) {
    // A retrieval answers into the caller's buffer and record, so it must
    // run while the caller waits.
    const bool retrieve = action->operation_type == CF_OPERATION_TYPE_RETRIEVE_DATA;
    DeferredExecutor* executor = retrieve ? nullptr : executor_.load();
    if (executor != nullptr && executor->Enqueue(request)) {
      hr = S_OK;
    } else {
      hr = request->Run();
      if (retrieve && SUCCEEDED(hr)) {
        const HRESULT stored = action->params->SetInt64(u"ReturnedLength", request->params.RetrieveData.ReturnedLength);
        if (FAILED(stored)) hr = stored;
      }
    }
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
  // Data the platform could not take (a full disk, say) is not retried: the
  // fetch is failed now, or its reader would wait for the platform's time
  // limit. A fetch already answered or cancelled refuses this, harmlessly.
  if (request.info.Type == CF_OPERATION_TYPE_TRANSFER_DATA &&
      request.params.TransferData.CompletionStatus == STATUS_SUCCESS) {
    request.params.TransferData.CompletionStatus = STATUS_CLOUD_FILE_UNSUCCESSFUL;
    request.params.TransferData.Buffer = nullptr;
    if (SUCCEEDED(request.Run())) {
      diagnostics_.SetOsLastError(static_cast<uint32_t>(hr));
      return kErrOsCallFailed;
    }
  }
  return kErrNoData;
}

}  // namespace corvane
