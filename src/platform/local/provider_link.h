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
  // The file a fetch is for, as the reader holds it: the name may have been
  // given to another file since, and that file must never receive the data.
  // Zero: any file at `path`.
  uint64_t dev = 0, ino = 0;
  std::string path;     // native
  std::string pattern;  // listings
};

// Wire form; false when the bytes are not one well-formed request.
std::string EncodeRequest(const ProviderRequest& request);
bool DecodeRequest(const std::string& bytes, ProviderRequest& request);
constexpr size_t kMaxRequestBytes = 64 * 1024;

// What the provider sends back: a kind byte and a status word. Progress
// messages tell a waiting application that the provider is working on its
// request, which restarts the time limit (as transfers do on Windows).
enum class ReplyKind : uint8_t { kAnswer = 'A', kProgress = 'P' };
constexpr size_t kReplyBytes = 5;
std::string EncodeReply(ReplyKind kind, NTSTATUS status);

// Sends the request to the provider of `root` and, when `wait`, waits for
// its answer; the wait gives up after RequestTimeoutMs() without news. Returns the NTSTATUS: provider not
// running when nobody is connected, request timeout when it does not
// answer in time (the request is then cancelled on the provider's side).
NTSTATUS AskProvider(const std::string& root, const ProviderRequest& request, bool wait);

// For this thread's waits in AskProvider: a caller whose program may give
// up (a mounted file system's interrupted reader) says how to tell. A wait
// woken by a signal while `gave_up` holds ends as cancelled, which cancels
// the request on the provider's side. Null: waits are never given up.
void SetGiveUpCheck(bool (*gave_up)());

// Reads or writes exactly n bytes on a blocking socket, retrying EINTR.
bool SendAll(int fd, const void* data, size_t n);
bool ReceiveAll(int fd, void* data, size_t n);

}  // namespace corvane::platform::local
