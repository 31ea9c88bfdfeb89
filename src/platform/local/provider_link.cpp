#include "platform/local/provider_link.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/cloud_files.h"
#include "platform/local/request_timeout.h"
#include "platform/local/sync_roots.h"

namespace corvane::platform::local {
namespace {

constexpr uint32_t kMagic = 0x32565243;  // "CRV2": with the reader's file

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

struct Reader {
  const std::string& s;
  size_t pos = 0;
  bool ok = true;
  uint64_t Get(int bytes) {
    if (pos + bytes > s.size()) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[pos + i]);
    pos += bytes;
    return v;
  }
  std::string Text() {
    const uint64_t n = Get(4);
    if (!ok || pos + n > s.size()) {
      ok = false;
      return {};
    }
    std::string t = s.substr(pos, n);
    pos += n;
    return t;
  }
};

}  // namespace

std::string EncodeRequest(const ProviderRequest& r) {
  std::string body;
  PutU32(body, kMagic);
  PutU32(body, static_cast<uint32_t>(r.type));
  PutU64(body, r.offset);
  PutU64(body, r.length);
  PutU32(body, r.flags);
  PutU64(body, r.dev);
  PutU64(body, r.ino);
  PutU32(body, static_cast<uint32_t>(r.path.size()));
  body += r.path;
  PutU32(body, static_cast<uint32_t>(r.pattern.size()));
  body += r.pattern;
  std::string framed;
  PutU32(framed, static_cast<uint32_t>(body.size()));
  return framed + body;
}

bool DecodeRequest(const std::string& bytes, ProviderRequest& r) {
  Reader in{bytes};
  if (in.Get(4) != kMagic) return false;
  const uint32_t type = static_cast<uint32_t>(in.Get(4));
  if (type < 1 || type > 6) return false;
  r.type = static_cast<RequestType>(type);
  r.offset = in.Get(8);
  r.length = in.Get(8);
  r.flags = static_cast<uint32_t>(in.Get(4));
  r.dev = in.Get(8);
  r.ino = in.Get(8);
  r.path = in.Text();
  r.pattern = in.Text();
  return in.ok && in.pos == bytes.size() && !r.path.empty() && r.path.find('\0') == std::string::npos;
}

std::string EncodeReply(ReplyKind kind, NTSTATUS status) {
  std::string out(1, static_cast<char>(kind));
  PutU32(out, static_cast<uint32_t>(status));
  return out;
}

bool SendAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool ReceiveAll(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t k = recv(fd, p, n, 0);
    if (k == 0) return false;
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

namespace {
thread_local bool (*t_gave_up)() = nullptr;
}  // namespace

void SetGiveUpCheck(bool (*gave_up)()) { t_gave_up = gave_up; }

NTSTATUS AskProvider(const std::string& root, const ProviderRequest& request, bool wait) {
  const std::string socket_path = ProviderSocketPath(root);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof addr.sun_path) return STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return STATUS_CLOUD_FILE_INSUFFICIENT_RESOURCES;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  }
  const std::string bytes = EncodeRequest(request);
  if (!SendAll(fd, bytes.data(), bytes.size())) {
    close(fd);
    return STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
  }
  if (!wait) {
    // Notifications need no answer; wait briefly for the provider to take
    // it so that open and close arrive in order.
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 1000);
    close(fd);
    return STATUS_SUCCESS;
  }
  const auto limit = std::chrono::milliseconds(RequestTimeoutMs());
  auto deadline = std::chrono::steady_clock::now() + limit;
  NTSTATUS status = STATUS_CLOUD_FILE_REQUEST_TIMEOUT;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) {
      if (t_gave_up != nullptr && t_gave_up()) {
        status = STATUS_CLOUD_FILE_REQUEST_CANCELED;
        break;
      }
      continue;
    }
    if (n <= 0) break;
    unsigned char reply[kReplyBytes];
    if (!ReceiveAll(fd, reply, sizeof reply)) {
      // A provider that goes away without answering has terminated.
      status = STATUS_CLOUD_FILE_PROVIDER_TERMINATED;
      break;
    }
    if (reply[0] == static_cast<unsigned char>(ReplyKind::kProgress)) {
      deadline = std::chrono::steady_clock::now() + limit;
      continue;
    }
    uint32_t answer = 0;
    for (int i = 3; i >= 0; --i) answer = (answer << 8) | reply[1 + i];
    status = static_cast<NTSTATUS>(answer);
    break;
  }
  close(fd);  // before an answer, this cancels the request
  return status;
}

}  // namespace corvane::platform::local
