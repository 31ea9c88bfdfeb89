// The small callback handlers: folder listings, opens and closes for the
// online-only mode, and dehydration.
#include "callbacks/callback_handlers.h"

#include "callbacks/callback_dispatch.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/delete_rename_reset.h"
#include "engine/engine.h"
#include "engine/enumeration.h"
#include "engine/event_bridges.h"
#include "engine/item_queries.h"
#include "provider/open_files.h"

namespace corvane {

using namespace platform;

namespace {

constexpr int32_t kPinnedAttribute = 0x00100000;
constexpr int32_t kBatchLimit = 1000;

const char16_t* PathOf(const CF_CALLBACK_INFO* info) {
  return info->NormalizedPath != nullptr ? info->NormalizedPath : u"";
}

}  // namespace

int32_t HandleFetchPlaceholders(Engine& engine, const CF_CALLBACK_INFO* info) {
  LogSink* sink = engine.diag.log_sink();
  const char16_t* path = PathOf(info);
  LogF(sink, kLogCloudTrace, u"Fetch placeholders callback fired for '%s'", path);
  std::u16string relative;
  // The root's own listing is asked for too; its relative form is "\".
  int32_t result = kOk;
  bool reported = false;
  if (CallbackRelativePath(engine, std::u16string(path) + u"\\*", relative) != kOk) {
    result = kErrInvalidParameter;
  } else {
    relative.resize(relative.size() - 2);
    if (relative.empty()) relative.assign(1, u'\\');
    LogF(sink, kLogVerbose, u"Creating placeholders...");
    result = ListFolderForApplication(engine, relative, kBatchLimit, &reported);
    LogF(sink, kLogVerbose, u"Creating placeholders finished. Error code: 0x%x", static_cast<uint32_t>(result));
  }

  // The placeholders already exist on disk: the answer carries none.
  CF_OPERATION_INFO op;
  op.StructSize = sizeof(CF_OPERATION_INFO);
  op.Type = CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS;
  op.ConnectionKey = info->ConnectionKey;
  op.TransferKey = info->TransferKey;
  op.CorrelationVector = nullptr;
  op.SyncStatus = nullptr;
  op.RequestKey = info->RequestKey;
  CF_OPERATION_PARAMETERS params{};
  params.ParamSize = CF_SIZE_OF_OP_PARAM(TransferPlaceholders);
  params.TransferPlaceholders.Flags =
      result == kOk ? CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION : 0;
  params.TransferPlaceholders.CompletionStatus = static_cast<NTSTATUS>(CompletionStatusFor(result));
  params.TransferPlaceholders.PlaceholderTotalCount = 0;
  params.TransferPlaceholders.PlaceholderArray = nullptr;
  params.TransferPlaceholders.PlaceholderCount = 0;
  if (FAILED(CfExecute(&op, &params))) {
    LogF(sink, kLogFailure, u"Fetch placeholders callback failed");
    return kErrNoData;
  }
  // A failure the host's late answer brought has had its Error event.
  return reported ? kOk : result;
}

int32_t HandleOpen(Engine& engine, const CF_CALLBACK_INFO* info) {
  const char16_t* path = PathOf(info);
  LogF(engine.diag.log_sink(), kLogCloudTrace, u"Open callback fired for '%s'", path);
  std::u16string relative;
  if (CallbackRelativePath(engine, path, relative) != kOk) return kErrInvalidParameter;
  if (engine.open_files != nullptr) engine.open_files->Opened(relative);
  return kOk;
}

int32_t HandleClose(Engine& engine, const CF_CALLBACK_INFO* info,
                    const CF_CALLBACK_PARAMETERS_CLOSE_COMPLETION& params) {
  LogSink* sink = engine.diag.log_sink();
  const char16_t* path = PathOf(info);
  LogF(sink, kLogCloudTrace, u"Close callback fired for '%s'", path);
  std::u16string relative;
  if (CallbackRelativePath(engine, path, relative) != kOk) return kErrInvalidParameter;
  int32_t attributes = 0;
  const bool pinned =
      GetItemAttributes(engine, relative, false, &attributes) == kOk && (attributes & kPinnedAttribute) != 0;
  const bool last_close = engine.open_files != nullptr && engine.open_files->Closed(relative);
  if (last_close && !pinned && (params.Flags & CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED) == 0) {
    LogF(sink, kLogVerbose, u"Dehydrating placeholder because online only mode is on: '%s'", path);
    DoClearPlaceholder(engine, relative);
  }
  return kOk;
}

int32_t HandleDehydrate(Engine& engine, const CF_CALLBACK_INFO* info) {
  const char16_t* path = PathOf(info);
  LogF(engine.diag.log_sink(), kLogVerbose, u"Dehydrate file callback fired for '%s'", path);
  PlaceholderAction answer;
  answer.operation_type = CF_OPERATION_TYPE_ACK_DEHYDRATE;
  answer.connection_key = info->ConnectionKey;
  answer.transfer_key = info->TransferKey;
  answer.correlation_vector = info->CorrelationVector;
  // Every dehydration is allowed.
  CompleteCallbackAction(engine, answer, kOk);
  std::u16string relative;
  if (CallbackRelativePath(engine, path, relative) == kOk) {
    int32_t result = kOk;
    DoFileReset(engine, relative, false, result);
  }
  return kOk;
}

}  // namespace corvane
