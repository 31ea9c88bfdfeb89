#include "platform/local/connection.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/local/data_access.h"
#include "platform/local/local_item.h"
#include "platform/local/native_path.h"
#include "platform/local/placeholder_store.h"
#include "platform/local/provider_link.h"
#include "platform/local/state_dir.h"
#include "platform/local/sync_roots.h"
#include "platform/local/worker_pool.h"
#include "support/mutex.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

constexpr int kCallbackThreads = 4;
constexpr size_t kFinishedKept = 64;
constexpr const char* kProgressName = "user.corvane.progress";
constexpr int kCallbackTypes = CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION + 1;

HRESULT InvalidRequest() { return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_INVALID_REQUEST); }

// One application request that waits for the provider.
struct Pending {
  int64_t key = 0;
  RequestType type = RequestType::kFetchData;
  int client_fd = -1;
  int file_fd = -1;
  std::string path;
  std::u16string path_w;
  uint64_t dev = 0, ino = 0;
  uint64_t begin = 0, end = 0;  // required range of a fetch
  uint32_t flags = 0;           // a close's
  std::atomic<int64_t> placeholders_done{0};
  uint32_t pid = 0;
  bool answered = false;
  std::atomic<bool> cancelled{false};

  ~Pending() {
    if (client_fd >= 0) close(client_fd);
    if (file_fd >= 0) close(file_fd);
  }
};

std::atomic<int64_t> next_key{1};

}  // namespace

class Connection {
 public:
  Connection(int64_t key, std::string root, const void* context, CF_CONNECT_FLAGS flags)
      : key_(key), root_(std::move(root)), root_w_(FromNativePath(root_)), context_(context), flags_(flags) {}
  ~Connection() { Stop(); }

  HRESULT Start(const CF_CALLBACK_REGISTRATION* table);
  void Stop();
  HRESULT Execute(const CF_OPERATION_INFO& info, CF_OPERATION_PARAMETERS& params);
  HRESULT Progress(int64_t transfer_key, int64_t total, int64_t completed);
  const std::string& root() const { return root_; }

 private:
  void Serve();
  void AcceptOne();
  void HandleRequest(int client_fd, const ProviderRequest& request, uint32_t pid);
  void Enqueue(const std::shared_ptr<Pending>& p, CF_CALLBACK_TYPE type);
  void Invoke(const std::shared_ptr<Pending>& p, CF_CALLBACK_TYPE type);
  // A pending request's `answered` is read and written under mutex_.
  void CancelLocked(const std::shared_ptr<Pending>& p) REQUIRES(mutex_);
  bool AnswerLocked(const std::shared_ptr<Pending>& p, NTSTATUS status) REQUIRES(mutex_);
  void Answer(const std::shared_ptr<Pending>& p, NTSTATUS status);
  void Wake();
  std::shared_ptr<Pending> Find(int64_t key);
  void CompleteCoveredFetches(uint64_t dev, uint64_t ino, const ByteRanges& ranges);
  void NotifyProgress(uint64_t dev, uint64_t ino);
  HRESULT TransferData(const std::shared_ptr<Pending>& p, const CF_OPERATION_PARAMETERS_TRANSFER_DATA& t);

  const int64_t key_;
  const std::string root_;
  const std::u16string root_w_;
  const void* context_;
  const CF_CONNECT_FLAGS flags_;
  CF_CALLBACK callbacks_[kCallbackTypes] = {};
  int lock_fd_ = -1, listen_fd_ = -1, wake_fd_ = -1;
  std::string socket_path_;
  std::thread server_;
  WorkerPool pool_;

  Mutex mutex_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::map<int64_t, std::shared_ptr<Pending>> pending_ GUARDED_BY(mutex_);
  std::deque<std::shared_ptr<Pending>> finished_ GUARDED_BY(mutex_);  // still valid for late transfers
};

namespace {

Mutex registry_mutex;
std::map<int64_t, std::shared_ptr<Connection>>& Registry() REQUIRES(registry_mutex) {
  static auto* registry = new std::map<int64_t, std::shared_ptr<Connection>>();
  return *registry;
}

std::shared_ptr<Connection> FindConnection(int64_t key) {
  MutexLock lock(registry_mutex);
  auto it = Registry().find(key);
  return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

HRESULT Connection::Start(const CF_CALLBACK_REGISTRATION* table) {
  // Windows' reading of the table, the strict one where its documentation
  // is silent: a provider registers only what it implements, so an entry
  // without a function, of an unknown type or given twice is refused.
  for (const CF_CALLBACK_REGISTRATION* entry = table; entry->Type != CF_CALLBACK_TYPE_NONE; ++entry) {
    if (entry->Type >= static_cast<uint32_t>(kCallbackTypes) || entry->Callback == nullptr ||
        callbacks_[entry->Type] != nullptr)
      return E_INVALIDARG;
    callbacks_[entry->Type] = entry->Callback;
  }
  const std::string lock_path = ProviderLockPath(root_);
  socket_path_ = ProviderSocketPath(root_);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (lock_path.empty() || socket_path_.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  if (socket_path_.size() >= sizeof addr.sun_path) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  // The lock is held as long as this connection lives, and the kernel drops
  // it with a dead process, so a stale socket file is recovered below.
  lock_fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  // An open-file-description lock: others can test it without taking it.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(lock_fd_, F_OFD_SETLK, &lock) != 0) {
    close(lock_fd_);
    lock_fd_ = -1;
    return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_ALREADY_CONNECTED);
  }
  unlink(socket_path_.c_str());
  memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 128) != 0) {
    Stop();
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  pool_.Start(kCallbackThreads);
  server_ = std::thread([this] { Serve(); });
  return S_OK;
}

void Connection::Stop() {
  {
    MutexLock lock(mutex_);
    if (stopping_ && !server_.joinable() && lock_fd_ < 0) return;
    stopping_ = true;
    for (auto& [key, p] : pending_) AnswerLocked(p, STATUS_CLOUD_FILE_PROVIDER_TERMINATED);
  }
  Wake();
  if (server_.joinable()) server_.join();
  pool_.Stop();
  {
    MutexLock lock(mutex_);
    pending_.clear();
    finished_.clear();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(socket_path_.c_str());
    listen_fd_ = -1;
  }
  if (wake_fd_ >= 0) close(wake_fd_), wake_fd_ = -1;
  if (lock_fd_ >= 0) close(lock_fd_), lock_fd_ = -1;
}

void Connection::Wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

void Connection::Serve() {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<Pending>> watched;
  for (;;) {
    fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    watched.assign(2, nullptr);
    {
      MutexLock lock(mutex_);
      // Answered requests hand their socket back; keep the request itself a
      // while so that late transfers of a satisfied fetch still land.
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->second->answered) {
          fds.push_back({it->second->client_fd, POLLIN, 0});
          watched.push_back(it->second);
          ++it;
          continue;
        }
        close(it->second->client_fd);
        it->second->client_fd = -1;
        if (it->second->type == RequestType::kFetchData) {
          finished_.push_back(it->second);
          if (finished_.size() > kFinishedKept) finished_.pop_front();
        }
        it = pending_.erase(it);
      }
      if (stopping_) return;
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      // Out of memory or the like: try again rather than leave requests hanging.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fds[0].revents) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof count);
    }
    if (fds[1].revents & POLLIN) AcceptOne();
    MutexLock lock(mutex_);
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      // A waiting application only ever closes its end: it gave up.
      CancelLocked(watched[i]);
    }
  }
}

void Connection::AcceptOne() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ucred cred{};
  socklen_t len = sizeof cred;
  getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len);
  uint32_t size = 0;
  std::string body;
  ProviderRequest request;
  if (!ReceiveAll(fd, &size, sizeof size) || size > kMaxRequestBytes) {
    close(fd);
    return;
  }
  body.resize(size);
  if (!ReceiveAll(fd, body.data(), size) || !DecodeRequest(body, request)) {
    close(fd);
    return;
  }
  HandleRequest(fd, request, static_cast<uint32_t>(cred.pid));
}

void Connection::HandleRequest(int client_fd, const ProviderRequest& request, uint32_t pid) {
  auto p = std::make_shared<Pending>();
  p->key = next_key.fetch_add(1);
  p->type = request.type;
  p->client_fd = client_fd;
  p->flags = request.flags;
  // Callbacks see the canonical path, which is what the provider compares
  // with its root; only paths inside this root are served.
  const std::string canonical = CanonicalPath(request.path);
  const std::string as_root = ToRootPath(canonical);
  const bool inside = as_root == root_ || as_root.rfind(root_ + "/", 0) == 0;
  p->path = canonical;
  p->path_w = FromNativePath(canonical);
  p->pid = pid;
  CF_CALLBACK_TYPE type = CF_CALLBACK_TYPE_NONE;
  NTSTATUS immediate = STATUS_SUCCESS;
  bool wait = true;
  switch (request.type) {
    case RequestType::kOpenFile: type = CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION; wait = false; break;
    case RequestType::kCloseFile: type = CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION; wait = false; break;
    case RequestType::kDehydrateDone: type = CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION; wait = false; break;
    case RequestType::kDehydrate: type = CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE; break;
    case RequestType::kFetchPlaceholders: type = CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS; break;
    case RequestType::kFetchData: type = CF_CALLBACK_TYPE_FETCH_DATA; break;
  }
  if (!inside) {
    immediate = STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT;
  } else if (request.type == RequestType::kFetchData) {
    p->file_fd = OpenForPlatformWrite(canonical);
    LocalItem info;
    if (p->file_fd < 0 || !SettleOutsideWrites(p->file_fd) || !ReadLocalItem(p->file_fd, info)) {
      immediate = STATUS_CLOUD_FILE_UNSUCCESSFUL;
    } else if (request.ino != 0 && (info.dev != request.dev || info.ino != request.ino)) {
      // The name went to another file after the reader looked it up (a
      // save that renamed a new file over it): the data is not for this one.
      immediate = STATUS_CLOUD_FILE_UNSUCCESSFUL;
    } else if (!info.record.placeholder || info.is_dir) {
      // Nothing of a plain file is in the cloud: a fetch would land on the
      // user's own bytes.
      type = CF_CALLBACK_TYPE_NONE;
    } else if (info.unknown_writes) {
      // Fetched data could land on a program's own bytes.
      immediate = STATUS_CLOUD_FILE_NOT_IN_SYNC;
    } else {
      p->dev = info.dev;
      p->ino = info.ino;
      // Windows asks for whole pages, clipped at the end of the file.
      const uint64_t begin = request.offset / kPageSize * kPageSize;
      const uint64_t want_end = request.offset + std::min(request.length, UINT64_MAX - request.offset - kPageSize);
      const uint64_t end = std::min(info.size, (want_end + kPageSize - 1) / kPageSize * kPageSize);
      const auto missing = info.ranges.Missing(begin, end);
      if (begin >= end || missing.empty()) {
        immediate = STATUS_SUCCESS;
        type = CF_CALLBACK_TYPE_NONE;
      } else {
        p->begin = missing.front().first / kPageSize * kPageSize;
        p->end = std::min(info.size, (missing.back().second + kPageSize - 1) / kPageSize * kPageSize);
        if (!callbacks_[type]) immediate = STATUS_CLOUD_FILE_NOT_SUPPORTED;
      }
    }
  } else if (request.type != RequestType::kCloseFile) {
    p->file_fd = open(canonical.c_str(), O_RDONLY | O_CLOEXEC);
    if (p->file_fd < 0) immediate = STATUS_CLOUD_FILE_UNSUCCESSFUL;
  }
  MutexLock lock(mutex_);
  const bool run = immediate == STATUS_SUCCESS && type != CF_CALLBACK_TYPE_NONE && callbacks_[type] && !stopping_;
  if (!wait || !run) {
    // Nothing to wait for: answer now (notifications get their answer
    // only so that the sender knows they were taken).
    const std::string answer =
        EncodeReply(ReplyKind::kAnswer, stopping_ ? STATUS_CLOUD_FILE_PROVIDER_TERMINATED : immediate);
    SendAll(client_fd, answer.data(), answer.size());
    p->answered = true;
    if (run) Enqueue(p, type);
    return;
  }
  pending_[p->key] = p;
  Enqueue(p, type);
}

void Connection::Enqueue(const std::shared_ptr<Pending>& p, CF_CALLBACK_TYPE type) {
  pool_.Post([this, p, type] { Invoke(p, type); });
}

namespace {
thread_local bool in_callback = false;
}  // namespace

void Connection::Invoke(const std::shared_ptr<Pending>& p, CF_CALLBACK_TYPE type) {
  const CF_CALLBACK callback = callbacks_[type];
  if (!callback) return;
  struct CallbackScope {
    CallbackScope() { in_callback = true; }
    ~CallbackScope() { in_callback = false; }
  } scope;
  LocalItem item;
  std::string identity;
  const int fd = p->file_fd >= 0 ? p->file_fd : open(p->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ReadLocalItem(fd, item);
    LoadIdentity(fd, identity);
    if (fd != p->file_fd) close(fd);
  }
  LocalItem root_info;
  ReadLocalItemAt(ToBackingPath(root_), root_info);
  const std::u16string empty;
  // Who asked, as far as Linux tells: the program's path and command line.
  std::u16string image, command_line;
  if (p->pid) {
    char exe[4096];
    const std::string proc = "/proc/" + std::to_string(p->pid);
    const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
    if (n > 0) image = FromNativePath(std::string(exe, static_cast<size_t>(n)));
    std::string args;
    if (ReadWholeFile(proc + "/cmdline", args)) {
      std::replace(args.begin(), args.end(), '\0', ' ');
      while (!args.empty() && args.back() == ' ') args.pop_back();
      command_line = Utf8ToUtf16Lossy(args);
    }
  }
  CF_PROCESS_INFO process;
  process.ProcessId = p->pid;
  process.ImagePath = image.c_str();
  process.PackageName = empty.c_str();
  process.ApplicationId = empty.c_str();
  process.CommandLine = command_line.c_str();
  CF_CALLBACK_INFO info;
  info.ConnectionKey.Internal = key_;
  info.CallbackContext = const_cast<void*>(context_);
  info.VolumeGuidName = empty.c_str();
  info.VolumeDosName = empty.c_str();
  info.VolumeSerialNumber = static_cast<DWORD>(item.dev ^ (item.dev >> 32));
  info.SyncRootFileId = static_cast<LARGE_INTEGER>(root_info.ino);
  info.FileId = static_cast<LARGE_INTEGER>(item.ino);
  info.FileSize = static_cast<LARGE_INTEGER>(item.size);
  info.FileIdentity = identity.empty() ? nullptr : identity.data();
  info.FileIdentityLength = static_cast<DWORD>(identity.size());
  info.NormalizedPath = p->path_w.c_str();
  info.TransferKey = p->key;
  info.RequestKey = p->key;
  info.ProcessInfo = (flags_ & CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO) ? &process : nullptr;
  CF_CALLBACK_PARAMETERS params;
  memset(&params, 0, sizeof params);
  params.ParamSize = sizeof params;
  const std::u16string pattern = u"*";
  switch (type) {
    case CF_CALLBACK_TYPE_FETCH_DATA:
      params.FetchData.RequiredFileOffset = static_cast<LARGE_INTEGER>(p->begin);
      params.FetchData.RequiredLength = static_cast<LARGE_INTEGER>(p->end - p->begin);
      params.FetchData.OptionalFileOffset = static_cast<LARGE_INTEGER>(p->begin);
      params.FetchData.OptionalLength = static_cast<LARGE_INTEGER>(p->end - p->begin);
      break;
    case CF_CALLBACK_TYPE_CANCEL_FETCH_DATA:
      params.Cancel.Flags = CF_CALLBACK_CANCEL_FLAG_IO_ABORTED;
      params.Cancel.FetchData.FileOffset = static_cast<LARGE_INTEGER>(p->begin);
      params.Cancel.FetchData.Length = static_cast<LARGE_INTEGER>(p->end - p->begin);
      break;
    case CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS:
      params.FetchPlaceholders.Pattern = pattern.c_str();
      break;
    case CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION:
      params.CloseCompletion.Flags = p->flags & CF_CALLBACK_CLOSE_COMPLETION_FLAG_DELETED;
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE:
      params.Dehydrate.Reason = CF_CALLBACK_DEHYDRATION_REASON_USER_MANUAL;
      break;
    case CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION:
      params.DehydrateCompletion.Flags = CF_CALLBACK_DEHYDRATE_COMPLETION_FLAG_DEHYDRATED;
      params.DehydrateCompletion.Reason = CF_CALLBACK_DEHYDRATION_REASON_USER_MANUAL;
      break;
    default:
      break;
  }
  callback(&info, &params);
}

bool Connection::AnswerLocked(const std::shared_ptr<Pending>& p, NTSTATUS status) {
  if (p->answered) return false;
  p->answered = true;
  const std::string answer = EncodeReply(ReplyKind::kAnswer, status);
  send(p->client_fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return true;
}

void Connection::NotifyProgress(uint64_t dev, uint64_t ino) {
  const std::string news = EncodeReply(ReplyKind::kProgress, STATUS_SUCCESS);
  MutexLock lock(mutex_);
  for (auto& [key, p] : pending_) {
    // A full socket buffer already holds news enough.
    if (p->type == RequestType::kFetchData && !p->answered && p->dev == dev && p->ino == ino)
      send(p->client_fd, news.data(), news.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

void Connection::Answer(const std::shared_ptr<Pending>& p, NTSTATUS status) {
  bool answered;
  {
    MutexLock lock(mutex_);
    answered = AnswerLocked(p, status);
  }
  if (answered) Wake();
}

void Connection::CancelLocked(const std::shared_ptr<Pending>& p) {
  if (p->answered) return;
  p->answered = true;
  p->cancelled = true;
  if (p->type == RequestType::kFetchData && callbacks_[CF_CALLBACK_TYPE_CANCEL_FETCH_DATA])
    Enqueue(p, CF_CALLBACK_TYPE_CANCEL_FETCH_DATA);
  if (p->type == RequestType::kFetchPlaceholders && callbacks_[CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS])
    Enqueue(p, CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS);
}

std::shared_ptr<Pending> Connection::Find(int64_t key) {
  MutexLock lock(mutex_);
  if (auto it = pending_.find(key); it != pending_.end()) return it->second;
  for (const auto& p : finished_)
    if (p->key == key) return p;
  return nullptr;
}

void Connection::CompleteCoveredFetches(uint64_t dev, uint64_t ino, const ByteRanges& ranges) {
  // `ranges` are the item's, as stored just now under its state lock: a
  // fetch they cover is answered without reading them back.
  std::vector<std::shared_ptr<Pending>> covered;
  {
    MutexLock lock(mutex_);
    for (auto& [key, p] : pending_)
      if (p->type == RequestType::kFetchData && !p->answered && p->dev == dev && p->ino == ino &&
          ranges.Covers(p->begin, p->end))
        covered.push_back(p);
  }
  for (const auto& p : covered) Answer(p, STATUS_SUCCESS);
}

HRESULT Connection::TransferData(const std::shared_ptr<Pending>& p, const CF_OPERATION_PARAMETERS_TRANSFER_DATA& t) {
  if (t.CompletionStatus != STATUS_SUCCESS) {
    // A refused fetch fails the application's read with that status.
    Answer(p, t.CompletionStatus);
    return S_OK;
  }
  const char* data = static_cast<const char*>(t.Buffer);
  const uint64_t begin = static_cast<uint64_t>(t.Offset), end = begin + static_cast<uint64_t>(t.Length);
  DataView view;
  {
    // Chunks of one file may arrive on several threads: the times to put
    // back are read under the lock, never in another chunk's write.
    ItemStateLock lock(p->file_fd);
    struct stat st;
    if (fstat(p->file_fd, &st) != 0) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
    const int64_t size = st.st_size;
    // The checks Windows makes: whole pages except a last one that ends the
    // file, inside the file, and data for every byte.
    if (t.Length <= 0 || t.Offset < 0 || !t.Buffer || t.Offset % static_cast<int64_t>(kPageSize) != 0 ||
        t.Offset > size || t.Length > size - t.Offset ||
        (t.Length % static_cast<int64_t>(kPageSize) != 0 && t.Offset + t.Length != size))
      return InvalidRequest();
    if (!LoadDataView(p->file_fd, view)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_METADATA_CORRUPT);
    if (view.written) {
      // A program wrote to the file directly since the last store: that is
      // recorded first, and the file seen as it is now.
      if (!SettleOutsideWritesLocked(p->file_fd) || !LoadDataView(p->file_fd, view))
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
    }
    if (view.unknown_writes) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC);
    ByteRanges& ranges = view.ranges;
    // Bytes already on disk may hold an application's newer writes: only
    // the missing parts are filled in.
    for (const auto& [from, to] : ranges.Missing(begin, end)) {
      uint64_t pos = from;
      while (pos < to) {
        const ssize_t n = pwrite(p->file_fd, data + (pos - begin), static_cast<size_t>(to - pos), static_cast<off_t>(pos));
        if (n < 0) {
          if (errno == EINTR) continue;
          const DWORD error = errno == ENOSPC ? ERROR_DISK_FULL : ERROR_CLOUD_FILE_UNSUCCESSFUL;
          // Part of the range may be on disk, unclaimed; the times go back
          // so that nobody takes the failed hydration for a local change.
          const timespec times[2] = {st.st_atim, st.st_mtim};
          futimens(p->file_fd, times);
          return HRESULT_FROM_WIN32(error);
        }
        pos += static_cast<uint64_t>(n);
      }
    }
    // Hydration is not a change of the content: keep the times.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(p->file_fd, times);
    ranges.Add(begin, end);
    if (!StoreRanges(p->file_fd, ranges, 0, &st)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
  }
  NotifyProgress(p->dev, p->ino);
  CompleteCoveredFetches(p->dev, p->ino, view.ranges);
  return S_OK;
}

HRESULT Connection::Execute(const CF_OPERATION_INFO& info, CF_OPERATION_PARAMETERS& params) {
  auto p = Find(info.TransferKey);
  if (!p) return InvalidRequest();
  if (p->cancelled) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_REQUEST_CANCELED);
  const auto need = [&](size_t member_size) { return params.ParamSize >= offsetof(CF_OPERATION_PARAMETERS, TransferData) + member_size; };
  switch (info.Type) {
    case CF_OPERATION_TYPE_TRANSFER_DATA:
      if (p->type != RequestType::kFetchData || !need(sizeof params.TransferData)) return InvalidRequest();
      return TransferData(p, params.TransferData);
    case CF_OPERATION_TYPE_ACK_DATA:
      if (p->type != RequestType::kFetchData || !need(sizeof params.AckData)) return InvalidRequest();
      if (params.AckData.CompletionStatus != STATUS_SUCCESS) Answer(p, params.AckData.CompletionStatus);
      return S_OK;
    case CF_OPERATION_TYPE_RETRIEVE_DATA: {
      auto& r = params.RetrieveData;
      if (p->type != RequestType::kFetchData || !need(sizeof r) || !r.Buffer || r.Offset < 0 || r.Length < 0)
        return InvalidRequest();
      const ssize_t n = pread(p->file_fd, r.Buffer, static_cast<size_t>(r.Length), r.Offset);
      if (n < 0) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
      r.ReturnedLength = n;
      return S_OK;
    }
    case CF_OPERATION_TYPE_RESTART_HYDRATION: {
      const auto& r = params.RestartHydration;
      if (p->type != RequestType::kFetchData || !need(sizeof r)) return InvalidRequest();
      if (r.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH) return E_INVALIDARG;
      ItemStateLock lock(p->file_fd);
      if (r.FileIdentity && r.FileIdentityLength &&
          !StoreIdentity(p->file_fd, {static_cast<const char*>(r.FileIdentity), r.FileIdentityLength}))
        return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
      if (r.Flags & CF_OPERATION_RESTART_HYDRATION_FLAG_MARK_IN_SYNC) {
        PlaceholderRecord record;
        if (LoadRecord(p->file_fd, record)) {
          record.in_sync = true;
          StoreRecord(p->file_fd, record);
        }
      }
      return S_OK;
    }
    case CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS: {
      auto& t = params.TransferPlaceholders;
      if (p->type != RequestType::kFetchPlaceholders || !need(sizeof t)) return InvalidRequest();
      if (t.CompletionStatus != STATUS_SUCCESS) {
        Answer(p, t.CompletionStatus);
        return S_OK;
      }
      t.EntriesProcessed = 0;
      if (t.PlaceholderCount > 0) {
        if (!t.PlaceholderArray) return E_INVALIDARG;
        const HRESULT hr = CfCreatePlaceholders(p->path_w.c_str(), t.PlaceholderArray, t.PlaceholderCount,
                                                CF_CREATE_FLAG_NONE, &t.EntriesProcessed);
        if (FAILED(hr) && (t.Flags & CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_STOP_ON_ERROR)) return hr;
      }
      if (t.Flags & CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION) {
        ItemStateLock lock(p->file_fd);
        PlaceholderRecord record;
        if (!LoadRecord(p->file_fd, record)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_METADATA_CORRUPT);
        record.unpopulated = false;
        if (!StoreRecord(p->file_fd, record)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
      }
      p->placeholders_done += t.PlaceholderCount;
      if (p->placeholders_done >= t.PlaceholderTotalCount) Answer(p, STATUS_SUCCESS);
      return S_OK;
    }
    case CF_OPERATION_TYPE_ACK_DEHYDRATE: {
      const auto& a = params.AckDehydrate;
      if (p->type != RequestType::kDehydrate || !need(sizeof a)) return InvalidRequest();
      if (a.CompletionStatus == STATUS_SUCCESS && a.FileIdentity && a.FileIdentityLength) {
        if (a.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH) return E_INVALIDARG;
        ItemStateLock lock(p->file_fd);
        StoreIdentity(p->file_fd, {static_cast<const char*>(a.FileIdentity), a.FileIdentityLength});
      }
      Answer(p, a.CompletionStatus);
      return S_OK;
    }
    default:
      // Deletes and renames are never sent to the provider here.
      return InvalidRequest();
  }
}

HRESULT Connection::Progress(int64_t transfer_key, int64_t total, int64_t completed) {
  auto p = Find(transfer_key);
  if (!p || p->file_fd < 0) return InvalidRequest();
  if (total < 0 || completed < 0) return E_INVALIDARG;
  uint8_t bytes[16];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(total) >> (8 * i));
    bytes[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(completed) >> (8 * i));
  }
  if (!SetXattr(p->file_fd, kProgressName, bytes, sizeof bytes)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_UNSUCCESSFUL);
  if (p->type == RequestType::kFetchData) NotifyProgress(p->dev, p->ino);
  return S_OK;
}

bool LoadProgress(int fd, int64_t& total, int64_t& completed) {
  uint8_t bytes[16];
  if (fgetxattr(fd, kProgressName, bytes, sizeof bytes) != sizeof bytes) return false;
  uint64_t t = 0, c = 0;
  for (int i = 7; i >= 0; --i) {
    t = (t << 8) | bytes[i];
    c = (c << 8) | bytes[8 + i];
  }
  total = static_cast<int64_t>(t);
  completed = static_cast<int64_t>(c);
  return true;
}

HRESULT ConnectSyncRoot(const std::string& root, const CF_CALLBACK_REGISTRATION* table, const void* context,
                        CF_CONNECT_FLAGS flags, CF_CONNECTION_KEY* key) {
  if (!table || !key) return E_INVALIDARG;
  SyncRootRecord record;
  if (!LoadSyncRootExact(root, record)) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
  const int64_t id = next_key.fetch_add(1);
  auto connection = std::make_shared<Connection>(id, root, context, flags);
  const HRESULT hr = connection->Start(table);
  if (FAILED(hr)) return hr;
  {
    MutexLock lock(registry_mutex);
    Registry()[id] = connection;
  }
  key->Internal = id;
  return S_OK;
}

HRESULT DisconnectSyncRoot(CF_CONNECTION_KEY key) {
  // Disconnecting waits for the callbacks, so a callback cannot do it.
  if (in_callback) return HRESULT_FROM_WIN32(ERROR_BUSY);
  std::shared_ptr<Connection> connection;
  {
    MutexLock lock(registry_mutex);
    auto it = Registry().find(key.Internal);
    if (it == Registry().end()) return E_INVALIDARG;
    connection = std::move(it->second);
    Registry().erase(it);
  }
  connection->Stop();
  return S_OK;
}

bool ProviderConnected(const std::string& root) {
  const std::string lock_path = ProviderLockPath(root);
  const int fd = open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

void DisconnectRootIfConnected(const std::string& root) {
  if (in_callback) return;
  std::vector<std::shared_ptr<Connection>> matches;
  {
    MutexLock lock(registry_mutex);
    for (auto it = Registry().begin(); it != Registry().end();) {
      if (it->second->root() == root) {
        matches.push_back(it->second);
        it = Registry().erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : matches) c->Stop();
}

HRESULT ExecuteOperation(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
  // The oldest form ends after CorrelationVector (32 bytes on Windows).
  if (!info || !params || info->StructSize < offsetof(CF_OPERATION_INFO, SyncStatus)) return E_INVALIDARG;
  auto connection = FindConnection(info->ConnectionKey.Internal);
  if (!connection) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  return connection->Execute(*info, *params);
}

HRESULT ReportProgress(CF_CONNECTION_KEY key, CF_TRANSFER_KEY transfer_key, int64_t total, int64_t completed) {
  auto connection = FindConnection(key.Internal);
  if (!connection) return HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  return connection->Progress(transfer_key, total, completed);
}

}  // namespace corvane::platform::local
