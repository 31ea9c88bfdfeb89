// The component's result codes, their messages and their mapping to the
// completion status that platform callbacks are answered with.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

constexpr int32_t kOk = 0;
constexpr int32_t kErrPending = 0x21000001;
constexpr int32_t kErrNotActive = 0x21000002;
constexpr int32_t kErrAlreadyActive = 0x21000003;
constexpr int32_t kErrInvalidParameter = 0x21000004;
constexpr int32_t kErrInvalidOpId = 0x21000005;
constexpr int32_t kErrOperationDenied = 0x21000006;
constexpr int32_t kErrInitFailed = 0x21000007;
constexpr int32_t kErrNotInstalled = 0x21000008;
constexpr int32_t kErrReadBeyondEof = 0x21000009;
constexpr int32_t kErrLocalDataFailed = 0x2100000A;
constexpr int32_t kErrTooManyItems = 0x21000010;
constexpr int32_t kErrItemNotFound = 0x21000011;
constexpr int32_t kErrLocalItemNotFound = 0x21000012;
constexpr int32_t kErrItemExists = 0x21000013;
constexpr int32_t kErrInvalidItemName = 0x21000014;
constexpr int32_t kErrInvalidItemId = 0x21000015;
constexpr int32_t kErrInvalidItemAttributes = 0x21000016;
constexpr int32_t kErrInvalidItemProperty = 0x21000017;
constexpr int32_t kErrNoData = 0x21000030;
constexpr int32_t kErrCancelled = 0x21000031;
constexpr int32_t kErrTaskExpired = 0x21000032;
constexpr int32_t kErrBackend = 0x21000040;
constexpr int32_t kErrOsCallFailed = 0x21000041;
constexpr int32_t kErrRetry = 0x21000042;
constexpr int32_t kErrNoStorageAccess = 0x21000050;
constexpr int32_t kErrInternal = 0x21000100;
constexpr int32_t kErrOutOfMemory = 200;
constexpr int32_t kErrNotReady = 21;             // ERROR_NOT_READY: engine not active
constexpr int32_t kErrInternalError = 1359;      // ERROR_INTERNAL_ERROR: handler gave no result
constexpr int32_t kErrConversion = 434;          // a string did not convert to or from the code page
constexpr int32_t kErrUnknownSetting = -1;

// First of the component's own codes; below it are system error codes.
constexpr int32_t kOwnCodeBase = 0x21000000;

constexpr const char* kTextNotActive = "The sync operation is not active";
constexpr const char* kTextOutOfMemory = "Out of memory.";
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
