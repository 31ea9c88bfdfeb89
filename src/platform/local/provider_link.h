// What an application asks the connected provider of a sync root, and how:
// one Unix-domain stream connection per request, a small fixed message, and
// one status word back. Closing the connection before the answer cancels.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace corvane::platform::local {

enum class RequestType : uint32_t {
  kFetchData = 1,
  kFetchPlaceholders = 2,
  kOpenFile = 3,
  kCloseFile = 4,
  kDehydrate = 5,
  kDehydrateDone = 6,
};

struct ProviderRequest {
  RequestType type = RequestType::kFetchData;
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t flags = 0;
  std::string path;     // native
  std::string pattern;  // listings
};

// Wire form; false when the bytes are not one well-formed request.
std::string EncodeRequest(const ProviderRequest& request);
bool DecodeRequest(const std::string& bytes, ProviderRequest& request);
constexpr size_t kMaxRequestBytes = 64 * 1024;

// Sends the request to the provider of `root` and, when `wait`, waits for
// its answer within RequestTimeoutMs(). Returns the NTSTATUS: provider not
// running when nobody is connected, request timeout when it does not
// answer in time (the request is then cancelled on the provider's side).
NTSTATUS AskProvider(const std::string& root, const ProviderRequest& request, bool wait);

// Reads or writes exactly n bytes on a blocking socket, retrying EINTR.
bool SendAll(int fd, const void* data, size_t n);
bool ReceiveAll(int fd, void* data, size_t n);

}  // namespace corvane::platform::local
