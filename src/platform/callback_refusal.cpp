// The failed answer to a callback, shared by both platforms' bindings and the
// provider: the same operation a served callback would get, with a failure.
#include "platform/cloud_files.h"

namespace corvane::platform {

HRESULT RefuseCallback(CF_CALLBACK_TYPE type, const CF_CALLBACK_INFO& info, const CF_CALLBACK_PARAMETERS& params,
                       NTSTATUS status) {
  CF_OPERATION_INFO op;
  op.ConnectionKey = info.ConnectionKey;
  op.TransferKey = info.TransferKey;
  op.RequestKey = info.RequestKey;
  CF_OPERATION_PARAMETERS answer{};
  switch (type) {
    case CF_CALLBACK_TYPE_FETCH_DATA:
      op.Type = CF_OPERATION_TYPE_TRANSFER_DATA;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(TransferData);
      answer.TransferData.CompletionStatus = status;
      answer.TransferData.Offset = params.FetchData.RequiredFileOffset;
      answer.TransferData.Length = params.FetchData.RequiredLength;
      break;
    case CF_CALLBACK_TYPE_VALIDATE_DATA:
      op.Type = CF_OPERATION_TYPE_ACK_DATA;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(AckData);
      answer.AckData.CompletionStatus = status;
      answer.AckData.Offset = params.ValidateData.RequiredFileOffset;
      answer.AckData.Length = params.ValidateData.RequiredLength;
      break;
    case CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS:
      op.Type = CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(TransferPlaceholders);
      answer.TransferPlaceholders.CompletionStatus = status;
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE:
      op.Type = CF_OPERATION_TYPE_ACK_DEHYDRATE;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(AckDehydrate);
      answer.AckDehydrate.CompletionStatus = status;
      answer.AckDehydrate.FileIdentity = info.FileIdentity;
      answer.AckDehydrate.FileIdentityLength = info.FileIdentityLength;
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DELETE:
      op.Type = CF_OPERATION_TYPE_ACK_DELETE;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(AckDelete);
      answer.AckDelete.CompletionStatus = status;
      break;
    case CF_CALLBACK_TYPE_NOTIFY_RENAME:
      op.Type = CF_OPERATION_TYPE_ACK_RENAME;
      answer.ParamSize = CF_SIZE_OF_OP_PARAM(AckRename);
      answer.AckRename.CompletionStatus = status;
      break;
    default:
      return S_FALSE;
  }
  return CfExecute(&op, &answer);
}

}  // namespace corvane::platform
