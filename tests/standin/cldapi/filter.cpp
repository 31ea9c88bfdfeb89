#include "filter.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace standin {
namespace {

constexpr int kTypes = 13;

struct Connection {
  int64_t key = 0;
  std::wstring root;
  uint64_t root_id = 0;
  DWORD volume = 0;
  std::string root_identity;
  CF_CALLBACK table[kTypes] = {};
  const void* context = nullptr;
  DWORD flags = 0;
  int running = 0;  // callbacks being run
  bool closing = false;
  std::thread pipe_server;
  std::atomic<bool> pipe_server_done{false};
  std::wstring pipe_name;
};

struct Request {
  CF_CALLBACK_TYPE type{};
  int64_t transfer = 0, request_key = 0;
  std::shared_ptr<Connection> conn;
  uint64_t file_id = 0;
  std::wstring path;
  int64_t begin = 0, end = 0, opt_end = 0, size = 0;
  std::vector<Range> got;
  int64_t placeholders = 0;
  bool finished = false;
  HRESULT result = S_OK;
  ULONGLONG deadline = 0;
};

std::mutex mu;
std::condition_variable changed;
std::map<int64_t, std::shared_ptr<Connection>> connections;
std::map<int64_t, std::shared_ptr<Request>> requests;
std::atomic<int64_t> next_key{(int64_t)GetCurrentProcessId() << 32 | 0x1000};
thread_local int64_t running_for = 0;  // the connection whose callback this thread runs

std::shared_ptr<Connection> ConnectionFor(uint64_t root_id) {
  std::lock_guard lock(mu);
  for (auto& [k, c] : connections)
    if (c->root_id == root_id && !c->closing) return c;
  return nullptr;
}

std::wstring PipeName(uint64_t root_id) {
  wchar_t buf[64];
  swprintf(buf, 64, L"\\\\.\\pipe\\cldapi-standin-%016llx", (unsigned long long)root_id);
  return buf;
}

// One callback, with everything its CF_CALLBACK_INFO points to.
struct Call {
  std::shared_ptr<Connection> conn;
  CF_CALLBACK_TYPE type{};
  uint64_t file_id = 0;
  int64_t file_size = 0;
  std::string identity;
  std::wstring path;  // full
  int64_t transfer = 0, request_key = 0;
  UCHAR priority = 0;
  DWORD pid = 0;
  CF_CALLBACK_PARAMETERS params{};
  std::wstring param_path;  // volume-relative: Pattern, TargetPath or SourcePath
};

std::wstring ImageOf(DWORD pid) {
  HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!p) return L"";
  wchar_t buf[MAX_PATH * 4];
  DWORD n = MAX_PATH * 4;
  std::wstring out = QueryFullProcessImageNameW(p, 0, buf, &n) ? std::wstring(buf, n) : L"";
  CloseHandle(p);
  return out;
}

// Runs the callback on a thread of its own; false when not registered.
bool Raise(std::shared_ptr<Call> call) {
  {
    std::lock_guard lock(mu);
    if (call->conn->closing || call->conn->table[call->type] == nullptr) return false;
    ++call->conn->running;
  }
  std::thread([call] {
    Connection& c = *call->conn;
    const std::wstring normalized = VolumeRelative(call->path);
    const std::wstring dos = call->path.size() >= 2 && call->path[1] == L':' ? call->path.substr(0, 2) : L"";
    wchar_t guid[MAX_PATH] = L"";
    if (!dos.empty() && !GetVolumeNameForVolumeMountPointW((dos + L"\\").c_str(), guid, MAX_PATH)) guid[0] = 0;
    const std::wstring image = ImageOf(call->pid);
    const std::wstring command_line = call->pid == GetCurrentProcessId() ? GetCommandLineW() : L"";
    CF_PROCESS_INFO process{sizeof(CF_PROCESS_INFO), call->pid, image.c_str(), L"", L"", command_line.c_str(), 0};
    ProcessIdToSessionId(call->pid, &process.SessionId);
    CF_CALLBACK_INFO info{};
    info.StructSize = sizeof info;
    info.ConnectionKey.QuadPart = c.key;
    info.CallbackContext = const_cast<void*>(c.context);
    info.VolumeGuidName = guid;
    info.VolumeDosName = dos.c_str();
    info.VolumeSerialNumber = c.volume;
    info.SyncRootFileId.QuadPart = (LONGLONG)c.root_id;
    info.SyncRootIdentity = c.root_identity.empty() ? nullptr : c.root_identity.data();
    info.SyncRootIdentityLength = (DWORD)c.root_identity.size();
    info.FileId.QuadPart = (LONGLONG)call->file_id;
    info.FileSize.QuadPart = call->file_size;
    info.FileIdentity = call->identity.empty() ? nullptr : call->identity.data();
    info.FileIdentityLength = (DWORD)call->identity.size();
    info.NormalizedPath = normalized.c_str();
    info.TransferKey.QuadPart = call->transfer;
    info.PriorityHint = call->priority;
    info.ProcessInfo = (c.flags & CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO) ? &process : nullptr;
    info.RequestKey.QuadPart = call->request_key;
    CF_CALLBACK_PARAMETERS params = call->params;
    params.ParamSize = sizeof params;
    switch (call->type) {
      case CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS: params.FetchPlaceholders.Pattern = call->param_path.c_str(); break;
      case CF_CALLBACK_TYPE_NOTIFY_RENAME: params.Rename.TargetPath = call->param_path.c_str(); break;
      case CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION:
        params.RenameCompletion.SourcePath = call->param_path.c_str();
        break;
      default: break;
    }
    running_for = c.key;
    c.table[call->type](&info, &params);
    running_for = 0;
    std::lock_guard lock(mu);
    --c.running;
    changed.notify_all();
  }).detach();
  return true;
}

std::shared_ptr<Call> NewCall(std::shared_ptr<Connection> conn, CF_CALLBACK_TYPE type, uint64_t file_id,
                              const Item& item, const std::wstring& path, DWORD pid) {
  auto call = std::make_shared<Call>();
  call->conn = std::move(conn);
  call->type = type;
  call->file_id = file_id;
  call->file_size = item.dir ? 0 : item.size;
  call->identity = item.identity;
  call->path = path;
  call->pid = pid;
  call->transfer = call->request_key = next_key++;
  return call;
}

// Opens a request answered through CfExecute and waits for its end: done,
// failed by the provider, or cancelled when nothing came in time.
HRESULT RaiseAndWait(std::shared_ptr<Call> call, std::shared_ptr<Request> req) {
  req->type = call->type;
  req->transfer = call->transfer;
  req->request_key = call->request_key;
  req->conn = call->conn;
  req->file_id = call->file_id;
  req->path = call->path;
  req->deadline = GetTickCount64() + RequestTimeoutMs();
  {
    std::lock_guard lock(mu);
    requests[req->transfer] = req;
  }
  if (!Raise(call)) {
    std::lock_guard lock(mu);
    requests.erase(req->transfer);
    return FromWin32(kErrorProviderNotRunning);
  }
  std::unique_lock lock(mu);
  while (!req->finished) {
    const ULONGLONG now = GetTickCount64();
    if (now >= req->deadline) {
      req->finished = true;
      req->result = FromWin32(kErrorRequestTimeout);
      requests.erase(req->transfer);
      lock.unlock();
      CF_CALLBACK_TYPE cancel = CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS;
      auto c = std::make_shared<Call>(*call);
      c->params = {};
      c->params.Cancel.Flags = CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT;
      if (call->type == CF_CALLBACK_TYPE_FETCH_DATA) {
        cancel = CF_CALLBACK_TYPE_CANCEL_FETCH_DATA;
        c->params.Cancel.FetchData.FileOffset.QuadPart = req->begin;
        c->params.Cancel.FetchData.Length.QuadPart = req->end - req->begin;
      }
      c->type = cancel;
      if (call->type == CF_CALLBACK_TYPE_FETCH_DATA || call->type == CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS) Raise(c);
      lock.lock();
      break;
    }
    changed.wait_for(lock, std::chrono::milliseconds(std::min<ULONGLONG>(req->deadline - now, 1000)));
  }
  if (FAILED(req->result) || req->opt_end <= req->end) requests.erase(req->transfer);
  return req->result;
}

// What the program's file call fails with when the provider failed the
// request: the cloud statuses' Win32 errors, as the system maps them.
HRESULT FromStatus(LONG status) {
  if (status >= 0) return S_OK;
  static const WORD kCloudErrors[] = {
      389, 362, 363, 364, 389, 389, 389, 376, 377, 378, 379, 380, 381, 382, 383, 386, 387,  // CF00-CF10
      388, 389, 390, 391, 392, 393, 394, 395, 396, 397, 398, 389, 404, 405, 426, 434};      // CF11-CF20
  const ULONG code = (ULONG)status;
  if (code >= 0xC000CF00 && code <= 0xC000CF20) return FromWin32(kCloudErrors[code - 0xC000CF00]);
  return HRESULT_FROM_NT(status);
}

struct Target {
  std::wstring path;
  uint64_t id = 0;
  Item item;
  bool placeholder = false;
  bool validate = false;  // the root's hydration asks the provider to validate data
  std::shared_ptr<Connection> conn;
};

// The item at `path` and the connection of its sync root.
HRESULT Find(const std::wstring& path, Target& t) {
  Locked s;  // facts read under it, as a transfer's are written
  FileFacts facts;
  if (!FactsOfPath(path, facts)) return LastError();
  t.path = path;
  t.id = facts.id;
  if (Item* it = ItemOf(*s, facts)) {
    t.item = *it;
    t.placeholder = true;
    s.Save();
  }
  if (const Root* r = s->RootOf(path)) {
    t.conn = ConnectionFor(r->id);
    t.validate = r->policies.Hydration.Modifier & CF_HYDRATION_POLICY_MODIFIER_VALIDATION_REQUIRED;
  }
  return S_OK;
}

// An explicit hydration under a validating policy: the provider reads back
// what it transferred (RETRIEVE_DATA) and confirms it (ACK_DATA).
HRESULT Validate(const Target& t, int64_t begin, int64_t end, DWORD pid) {
  if (t.conn->table[CF_CALLBACK_TYPE_VALIDATE_DATA] == nullptr) return FromWin32(kErrorProviderNotRunning);
  auto call = NewCall(t.conn, CF_CALLBACK_TYPE_VALIDATE_DATA, t.id, t.item, t.path, pid);
  auto req = std::make_shared<Request>();
  req->begin = begin / kPage * kPage;
  req->end = req->opt_end = req->size = t.item.size;
  req->end = std::min(t.item.size, (end + kPage - 1) / kPage * kPage);
  call->params.ValidateData.Flags = CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION;
  call->params.ValidateData.RequiredFileOffset.QuadPart = req->begin;
  call->params.ValidateData.RequiredLength.QuadPart = req->end - req->begin;
  return RaiseAndWait(call, req);
}

HRESULT EnsureData(Op op, const std::wstring& path, int64_t begin, int64_t end, DWORD pid) {
  bool fetched = false;
  for (;;) {
    Target t;
    if (HRESULT hr = Find(path, t); FAILED(hr)) return hr;
    if (!t.placeholder || t.item.dir) return S_OK;
    if (op == kOpWrite) begin = 0, end = t.item.size;
    end = std::min(end, t.item.size);
    const Range missing = FirstMissing(t.item.present, begin, end);
    if (missing.end <= missing.begin)
      return fetched && op == kOpHydrate && t.validate && t.conn ? Validate(t, begin, end, pid) : S_OK;
    fetched = true;
    if (!t.conn) return FromWin32(kErrorProviderNotRunning);
    if (op != kOpHydrate && pid == GetCurrentProcessId() && (t.conn->flags & CF_CONNECT_FLAG_BLOCK_SELF_IMPLICIT_HYDRATION))
      return FromWin32(395);  // ERROR_CLOUD_FILE_ACCESS_DENIED
    auto call = NewCall(t.conn, CF_CALLBACK_TYPE_FETCH_DATA, t.id, t.item, path, pid);
    auto req = std::make_shared<Request>();
    req->begin = missing.begin / kPage * kPage;
    req->end = std::min(t.item.size, (missing.end + kPage - 1) / kPage * kPage);
    req->opt_end = t.item.size;
    req->size = t.item.size;
    auto& p = call->params.FetchData;
    p.Flags = op == kOpHydrate ? CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION : 0;
    p.RequiredFileOffset.QuadPart = req->begin;
    p.RequiredLength.QuadPart = req->end - req->begin;
    p.OptionalFileOffset.QuadPart = req->end;
    p.OptionalLength.QuadPart = req->opt_end - req->end;
    call->priority = op == kOpHydrate ? 7 : CF_MAX_PRIORITY_HINT;
    if (HRESULT hr = RaiseAndWait(call, req); FAILED(hr)) return hr;
  }
}

HRESULT Populate(const std::wstring& path, DWORD pid) {
  Target t;
  if (HRESULT hr = Find(path, t); FAILED(hr)) return hr;
  if (!t.placeholder || !t.item.dir || t.item.populated) return S_OK;
  if (!t.conn) return FromWin32(kErrorProviderNotRunning);
  auto call = NewCall(t.conn, CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, t.id, t.item, path, pid);
  call->param_path = L"*";
  return RaiseAndWait(call, std::make_shared<Request>());
}

// Delete, rename and user dehydration: asked first when the provider
// registered for it, carried out, then reported done.
HRESULT Change(Op op, const std::wstring& path, const std::wstring& target, DWORD pid) {
  Target t;
  if (HRESULT hr = Find(path, t); FAILED(hr)) return hr;
  CF_CALLBACK_TYPE ask = CF_CALLBACK_TYPE_NOTIFY_DELETE, done = CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION;
  if (op == kOpRename) ask = CF_CALLBACK_TYPE_NOTIFY_RENAME, done = CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION;
  if (op == kOpDehydrate) {
    ask = CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE, done = CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION;
    if (!t.placeholder || t.item.dir) return FromWin32(kErrorNotACloudFile);
    if (t.item.always_full) return FromWin32(kErrorDehydrationDisallowed);
    if (!t.item.in_sync) return FromWin32(kErrorNotInSync);
  }
  const bool notify = t.placeholder && t.conn;
  if (notify) {
    auto call = NewCall(t.conn, ask, t.id, t.item, path, pid);
    if (op == kOpDelete) {
      call->params.Delete.Flags = t.item.dir ? CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY : 0;
    } else if (op == kOpRename) {
      Locked s;
      const Root* r = s->RootById(t.item.root);
      call->params.Rename.Flags = (t.item.dir ? CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY : 0) |
                                  CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE |
                                  (r && IsUnder(target, r->path) ? CF_CALLBACK_RENAME_FLAG_TARGET_IN_SCOPE : 0);
      call->param_path = VolumeRelative(target);
    } else {
      call->params.Dehydrate.Reason = CF_CALLBACK_DEHYDRATION_REASON_USER_MANUAL;
    }
    if (t.conn->table[ask] != nullptr)
      if (HRESULT hr = RaiseAndWait(call, std::make_shared<Request>()); FAILED(hr)) return hr;
  }
  std::wstring now_at = path;
  {
    Locked s;
    bool ok = true;
    if (op == kOpDelete) {
      ok = t.item.dir ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
      if (ok) s->items.erase(t.id);
    } else if (op == kOpRename) {
      ok = MoveFileExW(path.c_str(), target.c_str(), 0);
      now_at = target;
    } else {
      auto it = s->items.find(t.id);
      if (it != s->items.end())
        if (HRESULT hr = DehydrateItem(*s, it->second, path, {0, INT64_MAX}); FAILED(hr)) return hr;
    }
    if (!ok) return LastError();
    s.Save();
  }
  if (notify) {
    auto call = NewCall(t.conn, done, t.id, t.item, now_at, pid);
    if (op == kOpRename) call->param_path = VolumeRelative(path);
    if (op == kOpDehydrate) {
      call->params.DehydrateCompletion.Flags = CF_CALLBACK_DEHYDRATE_COMPLETION_FLAG_DEHYDRATED;
      call->params.DehydrateCompletion.Reason = CF_CALLBACK_DEHYDRATION_REASON_USER_MANUAL;
    }
    Raise(call);
  }
  return S_OK;
}

HRESULT Notify(Op op, const std::wstring& path, DWORD pid) {
  Target t;
  if (HRESULT hr = Find(path, t); FAILED(hr)) return hr;
  if (op == kOpClose) {
    // A transfer key lives as long as the handle that set it off.
    std::lock_guard lock(mu);
    for (auto r = requests.begin(); r != requests.end();)
      r = r->second->file_id == t.id && r->second->finished ? requests.erase(r) : std::next(r);
  }
  if (t.placeholder && t.conn)
    Raise(NewCall(t.conn, op == kOpOpen ? CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION
                                        : CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION,
                  t.id, t.item, path, pid));
  return S_OK;
}

HRESULT Local(Op op, const std::wstring& path, int64_t begin, int64_t end, const std::wstring& target, DWORD pid) {
  switch (op) {
    case kOpRead:
    case kOpHydrate:
    case kOpWrite: return EnsureData(op, path, begin, end, pid);
    case kOpList: return Populate(path, pid);
    case kOpOpen:
    case kOpClose: return Notify(op, path, pid);
    default: return Change(op, path, target, pid);
  }
}

struct Message {
  DWORD op, pid;
  int64_t begin, end;
  wchar_t path[1024];
  wchar_t target[1024];
};

void Serve(HANDLE pipe) {
  Message m{};
  DWORD n = 0;
  HRESULT hr = E_INVALIDARG;
  if (ReadFile(pipe, &m, sizeof m, &n, nullptr) && n == sizeof m) {
    m.path[1023] = m.target[1023] = 0;
    hr = Local((Op)m.op, m.path, m.begin, m.end, m.target, m.pid);
  }
  WriteFile(pipe, &hr, sizeof hr, &n, nullptr);
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
}

void ServePipe(const std::shared_ptr<Connection>& c) {
  for (;;) {
    HANDLE p = CreateNamedPipeW(c->pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, sizeof(Message), sizeof(Message), 0, nullptr);
    if (p == INVALID_HANDLE_VALUE) return;
    const bool ok = ConnectNamedPipe(p, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    {
      std::lock_guard lock(mu);
      if (c->closing) {
        CloseHandle(p);
        return;
      }
    }
    if (ok) std::thread(Serve, p).detach();
    else CloseHandle(p);
  }
}

void PipeServer(std::shared_ptr<Connection> c) {
  ServePipe(c);
  c->pipe_server_done = true;
}

}  // namespace

HRESULT Connect(const std::wstring& root, const CF_CALLBACK_REGISTRATION* table, const void* context, DWORD flags,
                CF_CONNECTION_KEY* key) {
  auto c = std::make_shared<Connection>();
  {
    Locked s;
    const Root* r = s->RootOf(root);
    if (r == nullptr) return FromWin32(kErrorNotUnderSyncRoot);
    if (!SameText(r->path, root)) return FromWin32(kErrorNotACloudSyncRoot);
    c->root = r->path;
    c->root_id = r->id;
    c->root_identity = r->root_identity;
    FileFacts facts;
    if (FactsOfPath(r->path, facts)) c->volume = facts.volume;
  }
  // Registered types are known valid: the caller checked the table.
  for (const CF_CALLBACK_REGISTRATION* e = table; e->Type != CF_CALLBACK_TYPE_NONE; ++e) c->table[e->Type] = e->Callback;
  c->context = context;
  c->flags = flags;
  c->pipe_name = PipeName(c->root_id);
  {
    std::lock_guard lock(mu);
    for (auto& [k, other] : connections)
      if (other->root_id == c->root_id) return FromWin32(kErrorAlreadyConnected);
    c->key = next_key++;
    connections[c->key] = c;
  }
  // Another process may still serve this root's pipe: then it is connected.
  HANDLE probe = CreateNamedPipeW(c->pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_MESSAGE, 1, 16, 16, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    std::lock_guard lock(mu);
    connections.erase(c->key);
    return FromWin32(kErrorAlreadyConnected);
  }
  CloseHandle(probe);
  c->pipe_server = std::thread(PipeServer, c);
  key->QuadPart = c->key;
  return S_OK;
}

HRESULT Disconnect(CF_CONNECTION_KEY key) {
  std::shared_ptr<Connection> c;
  {
    std::unique_lock lock(mu);
    auto it = connections.find(key.QuadPart);
    if (it == connections.end()) return E_INVALIDARG;
    c = it->second;
    connections.erase(it);
    c->closing = true;
    for (auto r = requests.begin(); r != requests.end();) {
      if (r->second->conn == c) {
        if (!r->second->finished) r->second->result = FromWin32(kErrorProviderNotRunning);
        r->second->finished = true;
        r = requests.erase(r);
      } else {
        ++r;
      }
    }
    changed.notify_all();
    // A callback that disconnects its own connection cannot wait for itself.
    const int self = running_for == c->key ? 1 : 0;
    changed.wait(lock, [&] { return c->running <= self; });
  }
  // Wakes the pipe server, which then sees the connection closing. Right
  // after Connect, or between two clients, no instance may be listening
  // yet: one open would then miss it and the join would wait for ever.
  while (c->pipe_server.joinable() && !c->pipe_server_done) {
    HANDLE h = CreateFileW(c->pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    for (int i = 0; i < 20 && !c->pipe_server_done; ++i) Sleep(1);
  }
  if (c->pipe_server.joinable()) c->pipe_server.join();
  return S_OK;
}

bool ConnectedInThisProcess(const std::wstring& root) {
  std::lock_guard lock(mu);
  for (auto& [k, c] : connections)
    if (SameText(c->root, root) && !c->closing) return true;
  return false;
}

HRESULT FilterOperation(Op op, const std::wstring& path, int64_t begin, int64_t end, const std::wstring& target) {
  uint64_t root_id = 0;
  {
    Locked s;
    const Root* r = s->RootOf(path);
    if (r == nullptr) {
      if (op == kOpDelete) return DeleteFileW(path.c_str()) || RemoveDirectoryW(path.c_str()) ? S_OK : LastError();
      if (op == kOpRename) return MoveFileExW(path.c_str(), target.c_str(), 0) ? S_OK : LastError();
      return S_OK;
    }
    root_id = r->id;
  }
  if (ConnectionFor(root_id)) return Local(op, path, begin, end, target, GetCurrentProcessId());
  Message m{};
  m.op = op, m.pid = GetCurrentProcessId(), m.begin = begin, m.end = end;
  if (path.size() >= 1023 || target.size() >= 1023) return FromWin32(ERROR_FILENAME_EXCED_RANGE);
  wcscpy(m.path, path.c_str());
  wcscpy(m.target, target.c_str());
  HRESULT hr = E_FAIL;
  DWORD n = 0;
  const std::wstring name = PipeName(root_id);
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (CallNamedPipeW(name.c_str(), &m, sizeof m, &hr, sizeof hr, &n, NMPWAIT_WAIT_FOREVER) && n == sizeof hr) return hr;
    if (GetLastError() != ERROR_PIPE_BUSY) break;
    Sleep(20);  // every instance busy: the server makes the next one
  }
  // No provider process: what is there is all there is.
  return Local(op, path, begin, end, target, GetCurrentProcessId());
}

HRESULT Execute(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* p) {
  if (info == nullptr || p == nullptr) return E_INVALIDARG;
  if (info->StructSize < FIELD_OFFSET(CF_OPERATION_INFO, RequestKey)) return E_INVALIDARG;
  static const size_t need[] = {CF_SIZE_OF_OP_PARAM(TransferData),        CF_SIZE_OF_OP_PARAM(RetrieveData),
                                CF_SIZE_OF_OP_PARAM(AckData),             CF_SIZE_OF_OP_PARAM(RestartHydration),
                                CF_SIZE_OF_OP_PARAM(TransferPlaceholders), CF_SIZE_OF_OP_PARAM(AckDehydrate),
                                CF_SIZE_OF_OP_PARAM(AckDelete),           CF_SIZE_OF_OP_PARAM(AckRename)};
  static const CF_CALLBACK_TYPE answers[] = {
      CF_CALLBACK_TYPE_FETCH_DATA,         CF_CALLBACK_TYPE_FETCH_DATA,      CF_CALLBACK_TYPE_VALIDATE_DATA,
      CF_CALLBACK_TYPE_FETCH_DATA,         CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE,
      CF_CALLBACK_TYPE_NOTIFY_DELETE,      CF_CALLBACK_TYPE_NOTIFY_RENAME};
  const unsigned type = info->Type;
  if (type > CF_OPERATION_TYPE_ACK_RENAME || p->ParamSize < need[type]) return E_INVALIDARG;
  // Every operation's first member is its flags; only TRANSFER_PLACEHOLDERS
  // and RESTART_HYDRATION define any.
  const DWORD flags = p->TransferData.Flags;
  if ((type == CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS && (flags & ~3u)) ||
      (type == CF_OPERATION_TYPE_RESTART_HYDRATION && (flags & ~1u)) ||
      (type != CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS && type != CF_OPERATION_TYPE_RESTART_HYDRATION && flags != 0))
    return E_INVALIDARG;

  std::unique_lock lock(mu);
  auto rit = requests.find(info->TransferKey.QuadPart);
  if (connections.find(info->ConnectionKey.QuadPart) == connections.end() || rit == requests.end() ||
      rit->second->conn->key != info->ConnectionKey.QuadPart)
    return FromWin32(kErrorInvalidRequest);
  std::shared_ptr<Request> req = rit->second;
  if (info->StructSize >= sizeof(CF_OPERATION_INFO) && info->RequestKey.QuadPart != CF_REQUEST_KEY_DEFAULT &&
      info->RequestKey.QuadPart != req->request_key)
    return FromWin32(kErrorInvalidRequest);
  const bool data_op = type == CF_OPERATION_TYPE_TRANSFER_DATA || type == CF_OPERATION_TYPE_RETRIEVE_DATA ||
                       type == CF_OPERATION_TYPE_RESTART_HYDRATION;
  if (!(req->type == answers[type] || (data_op && req->type == CF_CALLBACK_TYPE_VALIDATE_DATA)))
    return FromWin32(kErrorInvalidRequest);
  if (req->finished && type != CF_OPERATION_TYPE_TRANSFER_DATA) return FromWin32(kErrorInvalidRequest);
  auto finish = [&](HRESULT hr) {
    req->finished = true;
    req->result = hr;
    requests.erase(req->transfer);
    changed.notify_all();
  };
  lock.unlock();

  switch (type) {
    case CF_OPERATION_TYPE_TRANSFER_DATA: {
      auto& t = p->TransferData;
      if (t.CompletionStatus < 0) {
        lock.lock();
        if (!req->finished) finish(FromStatus(t.CompletionStatus));
        return S_OK;
      }
      const int64_t at = t.Offset.QuadPart, len = t.Length.QuadPart;
      if (t.Buffer == nullptr || at < 0 || len <= 0) return E_INVALIDARG;
      // Whole pages, except a last piece that ends at the end of the file.
      if (at % kPage != 0 || (len % kPage != 0 && at + len != req->size)) return FromWin32(kErrorInvalidRequest);
      if (at < req->begin || at + len > req->opt_end) return FromWin32(kErrorInvalidRequest);
      {
        Locked s;
        auto it = s->items.find(req->file_id);
        if (it == s->items.end()) return FromWin32(kErrorNotACloudFile);
        if (!WriteData(req->path, at, t.Buffer, len, it->second.stamp)) return LastError();
        AddRange(it->second.present, {at, at + len});
        FileFacts facts;
        if (FactsOfPath(req->path, facts)) it->second.stamp = facts.write_time, it->second.size = facts.size;
        s.Save();
      }
      lock.lock();
      AddRange(req->got, {at, at + len});
      req->deadline = GetTickCount64() + RequestTimeoutMs();
      if (FirstMissing(req->got, req->begin, req->end).end == 0) {
        req->finished = true;
        changed.notify_all();
        if (FirstMissing(req->got, req->begin, req->opt_end).end == 0) requests.erase(req->transfer);
      }
      return S_OK;
    }
    case CF_OPERATION_TYPE_RETRIEVE_DATA: {
      auto& r = p->RetrieveData;
      if (r.Buffer == nullptr || r.Offset.QuadPart < 0 || r.Length.QuadPart <= 0 || r.Length.QuadPart > MAXDWORD)
        return E_INVALIDARG;
      {
        Locked s;
        auto it = s->items.find(req->file_id);
        if (it == s->items.end()) return FromWin32(kErrorNotACloudFile);
        const int64_t end = std::min(r.Offset.QuadPart + r.Length.QuadPart, it->second.size);
        if (FirstMissing(it->second.present, r.Offset.QuadPart, end).end != 0) return FromWin32(kErrorInvalidRequest);
      }
      HANDLE h = CreateFileW(req->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return LastError();
      OVERLAPPED o{};
      o.Offset = (DWORD)r.Offset.QuadPart, o.OffsetHigh = (DWORD)(r.Offset.QuadPart >> 32);
      DWORD n = 0;
      const BOOL ok = ReadFile(h, r.Buffer, (DWORD)r.Length.QuadPart, &n, &o);
      CloseHandle(h);
      if (!ok && GetLastError() != ERROR_HANDLE_EOF) return LastError();
      r.ReturnedLength.QuadPart = n;
      return S_OK;
    }
    case CF_OPERATION_TYPE_ACK_DATA: {
      const auto& a = p->AckData;
      if (a.CompletionStatus >= 0 && (a.Offset.QuadPart < req->begin || a.Length.QuadPart <= 0 ||
                                      a.Offset.QuadPart + a.Length.QuadPart > req->end))
        return FromWin32(kErrorInvalidRequest);
      lock.lock();
      finish(FromStatus(p->AckData.CompletionStatus));
      return S_OK;
    }
    case CF_OPERATION_TYPE_RESTART_HYDRATION: {
      auto& r = p->RestartHydration;
      if (r.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (r.FileIdentityLength && !r.FileIdentity))
        return E_INVALIDARG;
      Locked s;
      auto it = s->items.find(req->file_id);
      if (it == s->items.end()) return FromWin32(kErrorNotACloudFile);
      Item& item = it->second;
      if (r.FileIdentity) item.identity.assign((const char*)r.FileIdentity, r.FileIdentityLength);
      if (r.FsMetadata) {
        item.size = r.FsMetadata->FileSize.QuadPart;
        ClipRanges(item.present, item.size);
        SetLogicalSize(req->path, item.size, item.stamp);
      }
      if (r.Flags & CF_OPERATION_RESTART_HYDRATION_FLAG_MARK_IN_SYNC) item.in_sync = true, item.modified = false;
      item.usn = s->next_usn++;
      s.Save();
      std::lock_guard relock(mu);
      req->size = req->opt_end = item.size;
      req->end = std::min(req->end, item.size);
      req->deadline = GetTickCount64() + RequestTimeoutMs();
      return S_OK;
    }
    case CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS: {
      auto& t = p->TransferPlaceholders;
      t.EntriesProcessed = 0;
      if (t.CompletionStatus < 0) {
        lock.lock();
        finish(FromStatus(t.CompletionStatus));
        return S_OK;
      }
      if (t.PlaceholderCount > 0 && t.PlaceholderArray == nullptr) return E_INVALIDARG;
      HRESULT first = S_OK;
      {
        Locked s;
        auto it = s->items.find(req->file_id);
        const Root* root = it == s->items.end() ? nullptr : s->RootById(it->second.root);
        if (root == nullptr) return FromWin32(kErrorNotACloudFile);
        const Root rootCopy = *root;
        for (DWORD i = 0; i < t.PlaceholderCount; ++i) {
          const HRESULT hr = CreatePlaceholder(*s, rootCopy, req->path, t.PlaceholderArray[i]);
          ++t.EntriesProcessed;
          if (FAILED(hr) && SUCCEEDED(first)) first = hr;
          if (FAILED(hr) && (t.Flags & CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_STOP_ON_ERROR)) break;
        }
        if (t.Flags & CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION)
          s->items[req->file_id].populated = true;
        s.Save();
      }
      lock.lock();
      req->placeholders += t.EntriesProcessed;
      req->deadline = GetTickCount64() + RequestTimeoutMs();
      if (req->placeholders >= t.PlaceholderTotalCount.QuadPart ||
          (t.Flags & CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION))
        finish(S_OK);
      return first;
    }
    case CF_OPERATION_TYPE_ACK_DEHYDRATE: {
      auto& a = p->AckDehydrate;
      if (a.FileIdentityLength > CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH || (a.FileIdentityLength && !a.FileIdentity))
        return E_INVALIDARG;
      if (a.CompletionStatus >= 0 && a.FileIdentity) {
        Locked s;
        auto it = s->items.find(req->file_id);
        if (it != s->items.end()) it->second.identity.assign((const char*)a.FileIdentity, a.FileIdentityLength);
        s.Save();
      }
      lock.lock();
      finish(FromStatus(a.CompletionStatus));
      return S_OK;
    }
    default: {  // ACK_DELETE, ACK_RENAME
      lock.lock();
      finish(FromStatus(p->AckDelete.CompletionStatus));
      return S_OK;
    }
  }
}

HRESULT ReportProgress(CF_CONNECTION_KEY key, CF_TRANSFER_KEY transfer, LARGE_INTEGER total, LARGE_INTEGER done) {
  if (total.QuadPart < 0 || done.QuadPart < 0 || done.QuadPart > total.QuadPart) return E_INVALIDARG;
  std::lock_guard lock(mu);
  auto it = requests.find(transfer.QuadPart);
  if (connections.find(key.QuadPart) == connections.end() || it == requests.end() ||
      it->second->conn->key != key.QuadPart)
    return FromWin32(kErrorInvalidRequest);
  // Progress keeps a slow transfer alive.
  it->second->deadline = GetTickCount64() + RequestTimeoutMs();
  return S_OK;
}

}  // namespace standin
