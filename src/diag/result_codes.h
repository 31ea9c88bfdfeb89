// The component's result codes, their messages and their mapping to the
// completion status that platform callbacks are answered with.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

constexpr int32_t kOk = 0;

// Every result code: internal name, value, the public header's name, and the
// message (nullptr: own codes answer "Unknown error", system codes the
// system's text). result_codes.cpp checks the values against the header.
#define CORVANE_RESULT_CODES(X)                                                                          \
  X(kErrPending, 0x21000001, HALVEX_ERR_PENDING, nullptr)                                                 \
  X(kErrNotActive, 0x21000002, HALVEX_ERR_NOT_ACTIVE, "The sync operation is not active")                 \
  X(kErrAlreadyActive, 0x21000003, HALVEX_ERR_ALREADY_ACTIVE, "The sync operation has already been started") \
  X(kErrInvalidParameter, 0x21000004, HALVEX_ERR_INVALID_PARAMETER, "Invalid input parameter")           \
  X(kErrInvalidOpId, 0x21000005, HALVEX_ERR_INVALID_OPID, "Invalid OpId")                                 \
  X(kErrOperationDenied, 0x21000006, HALVEX_ERR_OPERATION_DENIED, "Operation denied")                     \
  X(kErrInitFailed, 0x21000007, HALVEX_ERR_INIT_FAILED, "Initialization failed")                          \
  X(kErrNotInstalled, 0x21000008, HALVEX_ERR_NOT_INSTALLED,                                               \
    "Install must be called before performing this operation")                                            \
  X(kErrReadBeyondEof, 0x21000009, HALVEX_ERR_READ_BEYOND_EOF, nullptr)                                   \
  X(kErrLocalDataFailed, 0x2100000A, HALVEX_ERR_LOCAL_DATA_FAILED, nullptr)                               \
  X(kErrTooManyItems, 0x21000010, HALVEX_ERR_TOO_MANY_ITEMS,                                              \
    "Too many items reported by enumeration event hadler")                                                \
  X(kErrItemNotFound, 0x21000011, HALVEX_ERR_ITEM_NOT_FOUND, "Item not found")                            \
  X(kErrLocalItemNotFound, 0x21000012, HALVEX_ERR_LOCAL_ITEM_NOT_FOUND, nullptr)                          \
  X(kErrItemExists, 0x21000013, HALVEX_ERR_ITEM_EXISTS, "Item already exists")                            \
  X(kErrInvalidItemName, 0x21000014, HALVEX_ERR_INVALID_ITEM_NAME, "Invalid item name")                   \
  X(kErrInvalidItemId, 0x21000015, HALVEX_ERR_INVALID_ITEM_ID, "Invalid item Id")                         \
  X(kErrInvalidItemAttributes, 0x21000016, HALVEX_ERR_INVALID_ITEM_ATTRIBUTES, "Invalid item attributes") \
  X(kErrInvalidItemProperty, 0x21000017, HALVEX_ERR_INVALID_ITEM_PROPERTY, "Invalid item property value") \
  X(kErrNoData, 0x21000030, HALVEX_ERR_NO_DATA, nullptr)                                                  \
  X(kErrCancelled, 0x21000031, HALVEX_ERR_CANCELLED, nullptr)                                             \
  X(kErrTaskExpired, 0x21000032, HALVEX_ERR_TASK_EXPIRED, nullptr)                                        \
  X(kErrBackend, 0x21000040, HALVEX_ERR_BACKEND, "Synchronization failed because of backend error")       \
  X(kErrOsCallFailed, 0x21000041, HALVEX_ERR_OS_CALL_FAILED, "The OS call failed with an error")          \
  X(kErrRetry, 0x21000042, HALVEX_ERR_RETRY, nullptr)                                                     \
  X(kErrNoStorageAccess, 0x21000050, HALVEX_ERR_NO_STORAGE_ACCESS,                                        \
    "The application has no access to the directory where macOS keeps the folder being synchronized "     \
    "(~/Library/CloudStorage)")                                                                           \
  X(kErrInternal, 0x21000100, HALVEX_ERR_INTERNAL, nullptr)                                               \
  X(kErrOutOfMemory, 200, HALVEX_ERR_OUT_OF_MEMORY, "Out of memory.")                                     \
  X(kErrNotReady, 21, HALVEX_ERR_NOT_READY, nullptr)         /* ERROR_NOT_READY: engine not active */      \
  X(kErrConversion, 434, HALVEX_ERR_CONVERSION, nullptr)     /* a string did not convert */               \
  X(kErrUnknownSetting, -1, HALVEX_ERR_UNKNOWN_SETTING, nullptr)

#define CORVANE_CODE_CONSTANT(name, value, macro, text) constexpr int32_t name = value;
CORVANE_RESULT_CODES(CORVANE_CODE_CONSTANT)
#undef CORVANE_CODE_CONSTANT

constexpr int32_t kErrInternalError = 1359;  // ERROR_INTERNAL_ERROR: handler gave no result (not public)

struct ResultCodeEntry {
  int32_t code;
  const char* text;
};
#define CORVANE_CODE_ENTRY(name, value, macro, text) {value, text},
inline constexpr ResultCodeEntry kResultCodes[] = {CORVANE_RESULT_CODES(CORVANE_CODE_ENTRY)};
#undef CORVANE_CODE_ENTRY

// The table's message of a code, nullptr when it has none.
constexpr const char* TableMessage(int32_t code) {
  for (const ResultCodeEntry& entry : kResultCodes) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

// First of the component's own codes; below it are system error codes.
constexpr int32_t kOwnCodeBase = 0x21000000;

constexpr const char* kTextNotActive = TableMessage(kErrNotActive);
constexpr const char* kTextOutOfMemory = TableMessage(kErrOutOfMemory);
constexpr const char* kTextStopInsideCallback =
    "The provider cannot be stopped from a handler of a platform request; stop it after the handler returns";
constexpr const char* kTextStopInsideMethod =
    "The provider cannot be stopped from a handler of an event that a method fired; stop it after the method returns";

// Message of a code, 8-bit: the table text for own codes ("Unknown error" for
// unlisted ones), the English system text without its line break for system
// codes, and an empty text for 0 and for system codes without a text.
std::string ResultMessage(int32_t code);

// NTSTATUS handed to the platform for a callback answered with `code`.
uint32_t CompletionStatusFor(int32_t code);

}  // namespace corvane
