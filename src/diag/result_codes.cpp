#include "diag/result_codes.h"

#include "platform/text.h"
#include "support/codepage.h"

namespace corvane {
namespace {

struct MessageEntry {
  int32_t code;
  const char* text;
};

// Own codes without an entry answer "Unknown error".
constexpr MessageEntry kOwnMessages[] = {
    {kErrNotActive, "The sync operation is not active"},
    {kErrAlreadyActive, "The sync operation has already been started"},
    {kErrInvalidParameter, "Invalid input parameter"},
    {kErrInvalidOpId, "Invalid OpId"},
    {kErrOperationDenied, "Operation denied"},
    {kErrInitFailed, "Initialization failed"},
    {kErrNotInstalled, "Install must be called before performing this operation"},
    {kErrTooManyItems, "Too many items reported by enumeration event hadler"},
    {kErrItemNotFound, "Item not found"},
    {kErrItemExists, "Item already exists"},
    {kErrInvalidItemName, "Invalid item name"},
    {kErrInvalidItemId, "Invalid item Id"},
    {kErrInvalidItemAttributes, "Invalid item attributes"},
    {kErrInvalidItemProperty, "Invalid item property value"},
    {kErrBackend, "Synchronization failed because of backend error"},
    {kErrOsCallFailed, "The OS call failed with an error"},
    {kErrNoStorageAccess,
     "The application has no access to the directory where macOS keeps the folder being synchronized "
     "(~/Library/CloudStorage)"},
    {kErrOutOfMemory, "Out of memory."},
};

}  // namespace

std::string ResultMessage(int32_t code) {
  if (code == 0) return {};
  for (const auto& entry : kOwnMessages) {
    if (entry.code == code) return entry.text;
  }
  if (code >= kOwnCodeBase) return "Unknown error";
  std::u16string text = platform::SystemMessage(static_cast<uint32_t>(code));
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0) text.resize(text.size() - 2);
  std::string narrow;
  if (!Utf16ToCodePage(platform::AnsiCodePage(), text, narrow)) return {};
  return narrow;
}

uint32_t CompletionStatusFor(int32_t code) {
  switch (code) {
    case kOk:
    case kErrPending:
      return 0;
    case kErrInvalidParameter:
    case kErrInvalidOpId:
      return 0xC000CF0B;  // STATUS_CLOUD_FILE_INVALID_REQUEST
    case kErrOperationDenied:
      return 0xC000CF18;  // STATUS_CLOUD_FILE_ACCESS_DENIED
    case kErrLocalItemNotFound:
      return 0xC000CF08;  // STATUS_CLOUD_FILE_NOT_IN_SYNC
    case kErrNoData:
      return 0xC000CF16;  // STATUS_CLOUD_FILE_REQUEST_ABORTED
    default:
      return 0xC000CF12;  // STATUS_CLOUD_FILE_UNSUCCESSFUL
  }
}

}  // namespace corvane
