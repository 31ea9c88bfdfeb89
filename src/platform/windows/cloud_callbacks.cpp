// CfConnectSyncRoot with the library's callback table: cldapi.dll calls our
// trampolines, which rebuild the portable CF_CALLBACK_INFO/PARAMETERS and call
// the library's callbacks. The keys (connection, transfer, request) pass
// through untouched, so CfExecute answers reach the right request.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "platform/cloud_files.h"
#include "platform/windows/cf_api.h"
#include "platform/windows/cldapi.h"
#include "support/mutex.h"

namespace corvane::platform {

namespace cf = windows::cf;
using windows::CloudFiles;
using windows::kCloudFilesUnavailable;

namespace {

constexpr uint32_t kCallbackTypeCount = CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION + 1;

Mutex connections_mutex;

struct Connection {
  CF_CALLBACK callbacks[kCallbackTypeCount] = {};
  const void* context = nullptr;
  int64_t key = 0;
  // Callbacks still running; CfDisconnectSyncRoot waits for them.
  int running GUARDED_BY(connections_mutex) = 0;
  CondVar idle;
};

// Connections are found by a number, not a pointer: cldapi.dll hands back
// whatever context we gave, and a late callback after a disconnect must find
// nothing rather than freed memory.
std::map<uintptr_t, std::shared_ptr<Connection>> connections GUARDED_BY(connections_mutex);
uintptr_t next_connection_id GUARDED_BY(connections_mutex) = 1;
thread_local const Connection* callback_connection = nullptr;

std::shared_ptr<Connection> EnterCallback(const void* context) {
  MutexLock lock(connections_mutex);
  const auto it = connections.find(reinterpret_cast<uintptr_t>(context));
  if (it == connections.end()) return nullptr;
  ++it->second->running;
  return it->second;
}

void LeaveCallback(Connection& connection) {
  MutexLock lock(connections_mutex);
  if (--connection.running == 0) connection.idle.NotifyAll();
}

// Whether a struct the system filled, of `struct_size` bytes, reaches past
// `Field`: older Windows passes shorter CF_CALLBACK_INFO and CF_PROCESS_INFO.
#define CORVANE_HAS_FIELD(in, Type, Field) \
  ((in).StructSize >= offsetof(Type, Field) + sizeof(static_cast<Type*>(nullptr)->Field))

CF_CALLBACK_INFO ToPortable(const cf::CF_CALLBACK_INFO& in, const Connection& connection,
                            CF_PROCESS_INFO& process) {
  CF_CALLBACK_INFO out;
  out.ConnectionKey.Internal = in.ConnectionKey.Internal;
  out.CallbackContext = const_cast<void*>(connection.context);
  out.VolumeGuidName = in.VolumeGuidName;
  out.VolumeDosName = in.VolumeDosName;
  out.VolumeSerialNumber = in.VolumeSerialNumber;
  out.SyncRootFileId = in.SyncRootFileId;
  out.SyncRootIdentity = in.SyncRootIdentity;
  out.SyncRootIdentityLength = in.SyncRootIdentityLength;
  out.FileId = in.FileId;
  out.FileSize = in.FileSize;
  out.FileIdentity = in.FileIdentity;
  out.FileIdentityLength = in.FileIdentityLength;
  out.NormalizedPath = in.NormalizedPath;
  out.TransferKey = in.TransferKey;
  out.PriorityHint = in.PriorityHint;
  // Same bytes on both sides (checked in cloud_files.cpp); the library keeps a
  // copy and hands it back to CfExecute.
  if (CORVANE_HAS_FIELD(in, cf::CF_CALLBACK_INFO, CorrelationVector)) {
    out.CorrelationVector = reinterpret_cast<CORRELATION_VECTOR*>(in.CorrelationVector);
  }
  if (CORVANE_HAS_FIELD(in, cf::CF_CALLBACK_INFO, ProcessInfo) && in.ProcessInfo != nullptr) {
    const cf::CF_PROCESS_INFO& from = *in.ProcessInfo;
    process.ProcessId = from.ProcessId;
    if (CORVANE_HAS_FIELD(from, cf::CF_PROCESS_INFO, ImagePath)) process.ImagePath = from.ImagePath;
    if (CORVANE_HAS_FIELD(from, cf::CF_PROCESS_INFO, PackageName)) process.PackageName = from.PackageName;
    if (CORVANE_HAS_FIELD(from, cf::CF_PROCESS_INFO, ApplicationId)) process.ApplicationId = from.ApplicationId;
    if (CORVANE_HAS_FIELD(from, cf::CF_PROCESS_INFO, CommandLine)) process.CommandLine = from.CommandLine;
    if (CORVANE_HAS_FIELD(from, cf::CF_PROCESS_INFO, SessionId)) process.SessionId = from.SessionId;
    out.ProcessInfo = &process;
  }
  if (CORVANE_HAS_FIELD(in, cf::CF_CALLBACK_INFO, RequestKey)) out.RequestKey = in.RequestKey;
  return out;
}

#undef CORVANE_HAS_FIELD

CF_CALLBACK_PARAMETERS ToPortable(CF_CALLBACK_TYPE type, const cf::CF_CALLBACK_PARAMETERS& in) {
  CF_CALLBACK_PARAMETERS out{};
  out.ParamSize = sizeof out;
  switch (type) {
    case CF_CALLBACK_TYPE_FETCH_DATA:
      out.FetchData = {in.FetchData.Flags,          in.FetchData.RequiredFileOffset,
                       in.FetchData.RequiredLength, in.FetchData.OptionalFileOffset,
                       in.FetchData.OptionalLength, in.FetchData.LastDehydrationTime,
                       static_cast<CF_CALLBACK_DEHYDRATION_REASON>(in.FetchData.LastDehydrationReason)};
      break;
    case CF_CALLBACK_TYPE_VALIDATE_DATA:
      out.ValidateData = {in.ValidateData.Flags, in.ValidateData.RequiredFileOffset,
                          in.ValidateData.RequiredLength};
      break;
    case CF_CALLBACK_TYPE_CANCEL_FETCH_DATA:
    case CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS:
      out.Cancel = {in.Cancel.Flags, {in.Cancel.FetchData.FileOffset, in.Cancel.FetchData.Length}};
      break;
    case CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS:
      out.FetchPlaceholders = {in.FetchPlaceholders.Flags, in.FetchPlaceholders.Pattern};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION:
      out.OpenCompletion = {in.OpenCompletion.Flags};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION:
      out.CloseCompletion = {in.CloseCompletion.Flags};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE:
      out.Dehydrate = {in.Dehydrate.Flags, static_cast<CF_CALLBACK_DEHYDRATION_REASON>(in.Dehydrate.Reason)};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION:
      out.DehydrateCompletion = {in.DehydrateCompletion.Flags,
                                 static_cast<CF_CALLBACK_DEHYDRATION_REASON>(in.DehydrateCompletion.Reason)};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DELETE:
      out.Delete = {in.Delete.Flags};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION:
      out.DeleteCompletion = {in.DeleteCompletion.Flags};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_RENAME:
      out.Rename = {in.Rename.Flags, in.Rename.TargetPath};
      break;
    case CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION:
      out.RenameCompletion = {in.RenameCompletion.Flags, in.RenameCompletion.SourcePath};
      break;
    case CF_CALLBACK_TYPE_NONE:
      break;
  }
  return out;
}

template <CF_CALLBACK_TYPE kType>
void Trampoline(const cf::CF_CALLBACK_INFO* info, const cf::CF_CALLBACK_PARAMETERS* params) {
  if (info == nullptr || params == nullptr) return;
  const std::shared_ptr<Connection> connection = EnterCallback(info->CallbackContext);
  if (!connection) return;
  const Connection* outer = callback_connection;
  callback_connection = connection.get();
  CF_PROCESS_INFO process;
  const CF_CALLBACK_INFO portable_info = ToPortable(*info, *connection, process);
  const CF_CALLBACK_PARAMETERS portable_params = ToPortable(kType, *params);
  try {
    connection->callbacks[kType](&portable_info, &portable_params);
  } catch (...) {
    // Nothing may unwind into cldapi.dll, and the application must not wait
    // for the platform's time limit: the request fails now. One the library
    // answered before it threw refuses this second answer.
    RefuseCallback(kType, portable_info, portable_params, STATUS_CLOUD_FILE_UNSUCCESSFUL);
  }
  callback_connection = outer;
  LeaveCallback(*connection);
}

constexpr cf::CF_CALLBACK kTrampolines[kCallbackTypeCount] = {
    Trampoline<CF_CALLBACK_TYPE_FETCH_DATA>,
    Trampoline<CF_CALLBACK_TYPE_VALIDATE_DATA>,
    Trampoline<CF_CALLBACK_TYPE_CANCEL_FETCH_DATA>,
    Trampoline<CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS>,
    Trampoline<CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_DELETE>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_RENAME>,
    Trampoline<CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION>,
};

}  // namespace

HRESULT CfConnectSyncRoot(const char16_t* SyncRootPath, const CF_CALLBACK_REGISTRATION* CallbackTable,
                          const void* CallbackContext, CF_CONNECT_FLAGS ConnectFlags,
                          CF_CONNECTION_KEY* ConnectionKey) {
  const auto fn = CloudFiles().ConnectSyncRoot;
  if (fn == nullptr || CloudFiles().DisconnectSyncRoot == nullptr) return kCloudFilesUnavailable;
  if (CallbackTable == nullptr || ConnectionKey == nullptr) return E_INVALIDARG;
  try {
    auto connection = std::make_shared<Connection>();
    connection->context = CallbackContext;
    std::vector<cf::CF_CALLBACK_REGISTRATION> table;
    for (const CF_CALLBACK_REGISTRATION* entry = CallbackTable; entry->Type != CF_CALLBACK_TYPE_NONE; ++entry) {
      if (entry->Type >= kCallbackTypeCount || entry->Callback == nullptr) return E_INVALIDARG;
      connection->callbacks[entry->Type] = entry->Callback;
      table.push_back({entry->Type, kTrampolines[entry->Type]});
    }
    table.push_back({cf::CF_CALLBACK_TYPE_NONE, nullptr});

    uintptr_t id = 0;
    {
      // Published before the connect: the first callback may come at once.
      MutexLock lock(connections_mutex);
      id = next_connection_id++;
      connections[id] = connection;
    }
    cf::CF_CONNECTION_KEY key{};
    const HRESULT hr = fn(SyncRootPath, table.data(), reinterpret_cast<const void*>(id), ConnectFlags, &key);
    MutexLock lock(connections_mutex);
    if (FAILED(hr)) {
      connections.erase(id);
      return hr;
    }
    connection->key = key.Internal;
    ConnectionKey->Internal = key.Internal;
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CfDisconnectSyncRoot(CF_CONNECTION_KEY ConnectionKey) {
  const auto fn = CloudFiles().DisconnectSyncRoot;
  if (fn == nullptr) return kCloudFilesUnavailable;
  const HRESULT hr = fn(cf::CF_CONNECTION_KEY{ConnectionKey.Internal});
  if (FAILED(hr)) return hr;

  MutexLock lock(connections_mutex);
  std::shared_ptr<Connection> connection;
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    if (it->second->key == ConnectionKey.Internal) {
      connection = it->second;
      connections.erase(it);
      break;
    }
  }
  if (!connection) return hr;
  // A callback that disconnects its own root cannot wait for itself.
  const int own = callback_connection == connection.get() ? 1 : 0;
  while (connection->running > own) connection->idle.Wait(connections_mutex);
  return hr;
}

}  // namespace corvane::platform
