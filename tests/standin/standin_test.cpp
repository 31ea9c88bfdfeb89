// The stand-in cldapi.dll against the documented Cloud Files API: a small
// provider in this program answers its callbacks, applications act through
// the Standin* calls (from this process or a child process).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cf_types.h"
#include "standin.h"

extern "C" {
HRESULT WINAPI CfRegisterSyncRoot(LPCWSTR, const CF_SYNC_REGISTRATION*, const CF_SYNC_POLICIES*, CF_REGISTER_FLAGS);
HRESULT WINAPI CfUnregisterSyncRoot(LPCWSTR);
HRESULT WINAPI CfGetSyncRootInfoByPath(LPCWSTR, CF_SYNC_ROOT_INFO_CLASS, PVOID, DWORD, DWORD*);
HRESULT WINAPI CfConnectSyncRoot(LPCWSTR, const CF_CALLBACK_REGISTRATION*, LPCVOID, CF_CONNECT_FLAGS, CF_CONNECTION_KEY*);
HRESULT WINAPI CfDisconnectSyncRoot(CF_CONNECTION_KEY);
HRESULT WINAPI CfCreatePlaceholders(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO*, DWORD, DWORD, PDWORD);
HRESULT WINAPI CfConvertToPlaceholder(HANDLE, LPCVOID, DWORD, DWORD, USN*, LPOVERLAPPED);
HRESULT WINAPI CfUpdatePlaceholder(HANDLE, const CF_FS_METADATA*, LPCVOID, DWORD, const CF_FILE_RANGE*, DWORD, DWORD,
                                   USN*, LPOVERLAPPED);
HRESULT WINAPI CfRevertPlaceholder(HANDLE, DWORD, LPOVERLAPPED);
HRESULT WINAPI CfHydratePlaceholder(HANDLE, LARGE_INTEGER, LARGE_INTEGER, DWORD, LPOVERLAPPED);
HRESULT WINAPI CfDehydratePlaceholder(HANDLE, LARGE_INTEGER, LARGE_INTEGER, DWORD, LPOVERLAPPED);
HRESULT WINAPI CfGetPlaceholderInfo(HANDLE, CF_PLACEHOLDER_INFO_CLASS, PVOID, DWORD, PDWORD);
CF_PLACEHOLDER_STATE WINAPI CfGetPlaceholderStateFromFindData(const WIN32_FIND_DATAW*);
HRESULT WINAPI CfSetPinState(HANDLE, DWORD, DWORD, LPOVERLAPPED);
HRESULT WINAPI CfSetInSyncState(HANDLE, DWORD, DWORD, USN*);
HRESULT WINAPI CfExecute(const CF_OPERATION_INFO*, CF_OPERATION_PARAMETERS*);
HRESULT WINAPI CfReportProviderProgress(CF_CONNECTION_KEY, CF_TRANSFER_KEY, LARGE_INTEGER, LARGE_INTEGER);
}

namespace {

LARGE_INTEGER LI(LONGLONG v) {
  LARGE_INTEGER l;
  l.QuadPart = v;
  return l;
}

constexpr HRESULT kInvalidRequest = HRESULT_FROM_WIN32(kErrorInvalidRequest);
constexpr LONG kStatusUnsuccessful = (LONG)0xC000CF12;  // STATUS_CLOUD_FILE_UNSUCCESSFUL

std::wstring Temp(const std::wstring& name) {
  static std::atomic<int> n{0};
  wchar_t buf[MAX_PATH];
  GetTempPathW(MAX_PATH, buf);
  std::wstring p = std::wstring(buf) + L"standin-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(n++) + L"-" + name;
  CreateDirectoryW(p.c_str(), nullptr);
  return p;
}

// What the provider got, and how it answers.
struct Seen {
  CF_CALLBACK_TYPE type;
  CF_CALLBACK_INFO info;
  CF_CALLBACK_PARAMETERS params;
  std::wstring path, param_path, image;
  std::string identity;
  DWORD thread, pid;
};
std::mutex mu;
std::condition_variable seen_cv;
std::vector<Seen> seen;
std::string content;            // what FETCH_DATA transfers
std::atomic<LONG> answer{0};    // CompletionStatus of the answers
std::atomic<bool> silent{false};  // answers nothing (time-outs)
std::atomic<bool> disconnecting{false}, callback_done{false};
std::atomic<int> transfer_step{0};  // 0: whole request at once; else this many bytes (misaligned tests)
std::atomic<HRESULT> last_execute{S_OK};

CF_OPERATION_INFO Op(const CF_CALLBACK_INFO* i, CF_OPERATION_TYPE type) {
  return {sizeof(CF_OPERATION_INFO), type, i->ConnectionKey, i->TransferKey, nullptr, nullptr, i->RequestKey};
}

void CALLBACK OnCallback(const CF_CALLBACK_INFO* i, const CF_CALLBACK_PARAMETERS* p);

template <CF_CALLBACK_TYPE T>
void CALLBACK Tramp(const CF_CALLBACK_INFO* i, const CF_CALLBACK_PARAMETERS* p) {
  Seen s{T, *i, *p, i->NormalizedPath, L"", i->ProcessInfo ? i->ProcessInfo->ImagePath : L"",
         std::string((const char*)i->FileIdentity, i->FileIdentityLength), GetCurrentThreadId(),
         i->ProcessInfo ? i->ProcessInfo->ProcessId : 0};
  if (T == CF_CALLBACK_TYPE_NOTIFY_RENAME) s.param_path = p->Rename.TargetPath;
  if (T == CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS) s.param_path = p->FetchPlaceholders.Pattern;
  {
    std::lock_guard lock(mu);
    seen.push_back(s);
  }
  seen_cv.notify_all();
  OnCallback(i, p);
}

void CALLBACK OnCallback(const CF_CALLBACK_INFO* i, const CF_CALLBACK_PARAMETERS* p) {
  const auto type = seen.back().type;  // pushed by the trampoline just before
  if (silent) {
    // Still running when the disconnect starts, and for a while after.
    while (!disconnecting) Sleep(10);
    Sleep(300);
    callback_done = true;
    return;
  }
  CF_OPERATION_PARAMETERS op{};
  HRESULT hr = S_OK;
  if (type == CF_CALLBACK_TYPE_FETCH_DATA) {
    const int64_t at = p->FetchData.RequiredFileOffset.QuadPart, len = p->FetchData.RequiredLength.QuadPart;
    const int64_t step = transfer_step ? transfer_step.load() : len;
    for (int64_t o = at; o < at + len && SUCCEEDED(hr); o += step) {
      CF_OPERATION_INFO info = Op(i, CF_OPERATION_TYPE_TRANSFER_DATA);
      op.ParamSize = CF_SIZE_OF_OP_PARAM(TransferData);
      op.TransferData.CompletionStatus = answer;
      op.TransferData.Buffer = content.data() + o;
      op.TransferData.Offset.QuadPart = o;
      op.TransferData.Length.QuadPart = std::min<int64_t>(step, at + len - o);
      hr = CfExecute(&info, &op);
    }
  } else if (type == CF_CALLBACK_TYPE_VALIDATE_DATA) {
    // Reads back what was transferred; confirms it when it is what was sent.
    const int64_t at = p->ValidateData.RequiredFileOffset.QuadPart, len = p->ValidateData.RequiredLength.QuadPart;
    std::string back(len, '\0');
    CF_OPERATION_INFO info = Op(i, CF_OPERATION_TYPE_RETRIEVE_DATA);
    op.ParamSize = CF_SIZE_OF_OP_PARAM(RetrieveData);
    op.RetrieveData.Buffer = back.data();
    op.RetrieveData.Offset.QuadPart = at;
    op.RetrieveData.Length.QuadPart = len;
    hr = CfExecute(&info, &op);
    const bool same = SUCCEEDED(hr) && op.RetrieveData.ReturnedLength.QuadPart == len && back == content.substr(at, len);
    info = Op(i, CF_OPERATION_TYPE_ACK_DATA);
    op = {};
    op.ParamSize = CF_SIZE_OF_OP_PARAM(AckData);
    op.AckData.CompletionStatus = same ? 0 : kStatusUnsuccessful;
    op.AckData.Offset.QuadPart = at;
    op.AckData.Length.QuadPart = len;
    if (SUCCEEDED(hr)) hr = CfExecute(&info, &op);
  } else if (type == CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS) {
    CF_PLACEHOLDER_CREATE_INFO items[2] = {};
    items[0].RelativeFileName = L"listed.txt";
    items[0].FsMetadata.FileSize.QuadPart = 5000;
    items[0].FileIdentity = "L1";
    items[0].FileIdentityLength = 2;
    items[0].Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    items[1].RelativeFileName = L"sub";
    items[1].FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    CF_OPERATION_INFO info = Op(i, CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS);
    op.ParamSize = CF_SIZE_OF_OP_PARAM(TransferPlaceholders);
    op.TransferPlaceholders.Flags = CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION;
    op.TransferPlaceholders.CompletionStatus = answer;
    op.TransferPlaceholders.PlaceholderTotalCount.QuadPart = 2;
    op.TransferPlaceholders.PlaceholderArray = items;
    op.TransferPlaceholders.PlaceholderCount = 2;
    hr = CfExecute(&info, &op);
  } else if (type == CF_CALLBACK_TYPE_NOTIFY_DELETE || type == CF_CALLBACK_TYPE_NOTIFY_RENAME ||
             type == CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE) {
    CF_OPERATION_INFO info = Op(i, type == CF_CALLBACK_TYPE_NOTIFY_DELETE   ? CF_OPERATION_TYPE_ACK_DELETE
                                   : type == CF_CALLBACK_TYPE_NOTIFY_RENAME ? CF_OPERATION_TYPE_ACK_RENAME
                                                                            : CF_OPERATION_TYPE_ACK_DEHYDRATE);
    op.ParamSize = sizeof op;
    if (type == CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE) {
      // Acknowledgements have no flags of their own: the callback's are refused.
      op.AckDehydrate.Flags = CF_CALLBACK_DEHYDRATE_FLAG_BACKGROUND;
      last_execute = CfExecute(&info, &op);
      op.AckDehydrate.Flags = 0;
    }
    op.AckDehydrate.CompletionStatus = answer;
    hr = CfExecute(&info, &op);
  }
  if (FAILED(hr)) last_execute = hr;
}

const CF_CALLBACK_REGISTRATION kTable[] = {
    {CF_CALLBACK_TYPE_FETCH_DATA, Tramp<CF_CALLBACK_TYPE_FETCH_DATA>},
    {CF_CALLBACK_TYPE_VALIDATE_DATA, Tramp<CF_CALLBACK_TYPE_VALIDATE_DATA>},
    {CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, Tramp<CF_CALLBACK_TYPE_CANCEL_FETCH_DATA>},
    {CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, Tramp<CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS>},
    {CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION, Tramp<CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION>},
    {CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE, Tramp<CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE>},
    {CF_CALLBACK_TYPE_NOTIFY_DELETE, Tramp<CF_CALLBACK_TYPE_NOTIFY_DELETE>},
    {CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION, Tramp<CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION>},
    {CF_CALLBACK_TYPE_NOTIFY_RENAME, Tramp<CF_CALLBACK_TYPE_NOTIFY_RENAME>},
    {CF_CALLBACK_TYPE_NONE, nullptr}};

// Waits (10 s at most) for the n-th callback of a type and returns it.
Seen WaitFor(CF_CALLBACK_TYPE type, size_t n = 1) {
  std::unique_lock lock(mu);
  Seen found{};
  seen_cv.wait_for(lock, std::chrono::seconds(10), [&] {
    size_t k = 0;
    for (const Seen& s : seen) {
      if (s.type == type && ++k == n) return found = s, true;
    }
    return false;
  });
  EXPECT_EQ(found.type, type) << "callback " << type << " #" << n << " never came";
  return found;
}
size_t Count(CF_CALLBACK_TYPE type) {
  std::lock_guard lock(mu);
  return std::count_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.type == type; });
}

// A registered, connected sync root holding one 10,000-byte dehydrated file.
class Root : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = Temp(L"root");
    {
      std::lock_guard lock(mu);
      seen.clear();
    }
    content.assign(10000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char('a' + i % 26);
    answer = 0, silent = false, transfer_step = 0, last_execute = S_OK;
    disconnecting = callback_done = false;
    ASSERT_EQ(Register(path_, 0), S_OK);
    ASSERT_EQ(CfConnectSyncRoot(path_.c_str(), kTable, this, CF_CONNECT_FLAG_REQUIRE_PROCESS_INFO, &key_), S_OK);
    CF_PLACEHOLDER_CREATE_INFO file{};
    file.RelativeFileName = L"f.bin";
    file.FsMetadata.FileSize.QuadPart = 10000;
    file.FileIdentity = "id-f";
    file.FileIdentityLength = 4;
    file.Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
    DWORD done = 0;
    ASSERT_EQ(CfCreatePlaceholders(path_.c_str(), &file, 1, 0, &done), S_OK);
    file_ = path_ + L"\\f.bin";
  }
  void TearDown() override {
    if (key_.QuadPart) {
      EXPECT_EQ(CfDisconnectSyncRoot(key_), S_OK);
    }
    EXPECT_EQ(CfUnregisterSyncRoot(path_.c_str()), S_OK);
    std::filesystem::remove_all(path_);
  }
  static HRESULT Register(const std::wstring& path, DWORD flags, USHORT hydration = CF_HYDRATION_POLICY_FULL,
                          const wchar_t* name = L"Standin test", USHORT modifier = 0) {
    CF_SYNC_REGISTRATION reg{sizeof reg, name, L"1.0", "root-id", 7, "root-file", 9, {}};
    CF_SYNC_POLICIES pol{sizeof pol, {hydration, modifier}, {CF_POPULATION_POLICY_PARTIAL, 0}, 0, 0, 0};
    return CfRegisterSyncRoot(path.c_str(), &reg, &pol, flags);
  }
  HANDLE Open(const std::wstring& p) const {
    return CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  CF_PLACEHOLDER_STANDARD_INFO Info(const std::wstring& p, HRESULT* hr = nullptr) const {
    struct {
      CF_PLACEHOLDER_STANDARD_INFO info;
      char more[64];
    } buf{};
    HANDLE h = Open(p);
    DWORD n = 0;
    const HRESULT r = CfGetPlaceholderInfo(h, CF_PLACEHOLDER_INFO_STANDARD, &buf, sizeof buf, &n);
    CloseHandle(h);
    if (hr) *hr = r;
    return buf.info;
  }

  std::wstring path_, file_;
  CF_CONNECTION_KEY key_{};
  standin::Application app_;
};

TEST_F(Root, RegistrationIsCheckedKeptAndReported) {
  const std::wstring other = Temp(L"other");
  EXPECT_EQ(Register(other, 0, 7), E_INVALIDARG);  // no such hydration policy
  EXPECT_EQ(Register(other, 0, 2, L""), E_INVALIDARG);
  EXPECT_EQ(Register(other, 0, 2, std::wstring(256, L'n').c_str()), E_INVALIDARG);
  EXPECT_EQ(Register(path_, 0), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Register(path_ + L"\\inner", 0), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  CreateDirectoryW((path_ + L"\\inner").c_str(), nullptr);
  EXPECT_EQ(Register(path_ + L"\\inner", 0), kInvalidRequest);  // nested in a root
  ASSERT_EQ(Register(path_, CF_REGISTER_FLAG_UPDATE, CF_HYDRATION_POLICY_PROGRESSIVE, L"Renamed"), S_OK);

  struct {
    CF_SYNC_ROOT_STANDARD_INFO info;
    char more[16];
  } buf{};
  DWORD n = 0;
  ASSERT_EQ(CfGetSyncRootInfoByPath(file_.c_str(), CF_SYNC_ROOT_INFO_STANDARD, &buf, sizeof buf, &n), S_OK);
  EXPECT_EQ(buf.info.HydrationPolicy.Primary, CF_HYDRATION_POLICY_PROGRESSIVE);
  EXPECT_STREQ(buf.info.ProviderName, L"Renamed");
  EXPECT_EQ(buf.info.ProviderStatus, (DWORD)CF_PROVIDER_STATUS_IDLE);
  EXPECT_EQ(std::string((char*)buf.info.SyncRootIdentity, buf.info.SyncRootIdentityLength), "root-id");
  EXPECT_EQ(CfGetSyncRootInfoByPath(path_.c_str(), CF_SYNC_ROOT_INFO_STANDARD, &buf,
                                    FIELD_OFFSET(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity) + 3, &n),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(CfGetSyncRootInfoByPath(other.c_str(), CF_SYNC_ROOT_INFO_BASIC, &buf, sizeof buf, &n),
            HRESULT_FROM_WIN32(kErrorNotUnderSyncRoot));
  EXPECT_EQ(CfUnregisterSyncRoot(other.c_str()), HRESULT_FROM_WIN32(kErrorNotACloudSyncRoot));
  std::filesystem::remove_all(other);
}

TEST_F(Root, ConnectTableTakesOnlyRegisteredFunctions) {
  CF_CONNECTION_KEY k{};
  const CF_CALLBACK_REGISTRATION null_entry[] = {{CF_CALLBACK_TYPE_NOTIFY_DELETE, nullptr}, {CF_CALLBACK_TYPE_NONE, nullptr}};
  const CF_CALLBACK_REGISTRATION unknown[] = {{(CF_CALLBACK_TYPE)13, kTable[0].Callback}, {CF_CALLBACK_TYPE_NONE, nullptr}};
  const CF_CALLBACK_REGISTRATION twice[] = {kTable[0], kTable[0], {CF_CALLBACK_TYPE_NONE, nullptr}};
  for (const auto* table : {null_entry, unknown, twice})
    EXPECT_EQ(CfConnectSyncRoot(path_.c_str(), table, nullptr, 0, &k), E_INVALIDARG);
  EXPECT_EQ(CfConnectSyncRoot(path_.c_str(), kTable, nullptr, 0, &k), HRESULT_FROM_WIN32(kErrorAlreadyConnected));
  EXPECT_EQ(CfConnectSyncRoot(file_.c_str(), kTable, nullptr, 0, &k), HRESULT_FROM_WIN32(kErrorNotACloudSyncRoot));
  CF_CONNECTION_KEY bogus{};
  bogus.QuadPart = 12345;
  EXPECT_EQ(CfDisconnectSyncRoot(bogus), E_INVALIDARG);
}

TEST_F(Root, PlaceholderStateFollowsTheDocumentedRules) {
  CF_PLACEHOLDER_CREATE_INFO again[2] = {};
  again[0].RelativeFileName = L"f.bin";
  again[1].RelativeFileName = L"..\\escape";
  DWORD done = 0;
  EXPECT_EQ(CfCreatePlaceholders(path_.c_str(), again, 2, 0, &done), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(again[1].Result, E_INVALIDARG);

  HRESULT hr;
  CF_PLACEHOLDER_STANDARD_INFO info = Info(file_, &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(info.InSyncState, CF_IN_SYNC_STATE_IN_SYNC);
  EXPECT_EQ(info.OnDiskDataSize.QuadPart, 0);
  EXPECT_EQ(std::string((char*)info.FileIdentity, info.FileIdentityLength), "id-f");

  HANDLE h = Open(file_);
  CF_PLACEHOLDER_BASIC_INFO small{};
  DWORD n = 0;
  EXPECT_EQ(CfGetPlaceholderInfo(h, CF_PLACEHOLDER_INFO_BASIC, &small, FIELD_OFFSET(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) + 2, &n),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(CfSetPinState(h, CF_PIN_STATE_PINNED, 0, nullptr), S_OK);
  EXPECT_EQ(CfSetPinState(h, 5, 0, nullptr), E_INVALIDARG);
  USN usn = 0;
  ASSERT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_NOT_IN_SYNC, 0, &usn), S_OK);
  // Not in sync: neither a verified update nor a dehydration goes through.
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, nullptr, 0, CF_UPDATE_FLAG_VERIFY_IN_SYNC, nullptr, nullptr),
            HRESULT_FROM_WIN32(kErrorNotInSync));
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, nullptr, 0, CF_UPDATE_FLAG_DEHYDRATE, nullptr, nullptr),
            HRESULT_FROM_WIN32(kErrorNotInSync));
  USN stale = usn - 1;
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, "x", 1, nullptr, 0, 0, &stale, nullptr), HRESULT_FROM_WIN32(kErrorNotInSync));
  const CF_FILE_RANGE odd{LI(100), LI(4096)};
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, &odd, 1, CF_UPDATE_FLAG_MARK_IN_SYNC, nullptr, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, nullptr, 0,
                                CF_UPDATE_FLAG_MARK_IN_SYNC | CF_UPDATE_FLAG_ALWAYS_FULL | CF_UPDATE_FLAG_DEHYDRATE,
                                &usn, nullptr),
            HRESULT_FROM_WIN32(kErrorDehydrationDisallowed));
  EXPECT_EQ(CfRevertPlaceholder(h, 0, nullptr), kInvalidRequest);  // its data is not all there
  CloseHandle(h);
  EXPECT_EQ(Info(file_).PinState, CF_PIN_STATE_PINNED);

  // A plain file: not a placeholder until converted; reverted, not again.
  const std::wstring plain = path_ + L"\\plain.txt";
  HANDLE p = CreateFileW(plain.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  DWORD w = 0;
  WriteFile(p, "hello", 5, &w, nullptr);
  EXPECT_EQ(CfGetPlaceholderInfo(p, CF_PLACEHOLDER_INFO_BASIC, &small, sizeof small, &n),
            HRESULT_FROM_WIN32(kErrorNotACloudFile));
  EXPECT_EQ(CfConvertToPlaceholder(p, "pl", 2, CF_CONVERT_FLAG_MARK_IN_SYNC | CF_CONVERT_FLAG_DEHYDRATE, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(CfRevertPlaceholder(p, 0, nullptr), kInvalidRequest);  // dehydrated
  CloseHandle(p);
  EXPECT_EQ(Info(plain).OnDiskDataSize.QuadPart, 0);
  // A program's touch brings no data: what was missing stays missing.
  p = CreateFileW(plain.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                  nullptr);
  const FILETIME touched{0x12345678, 0x01d00000};
  EXPECT_TRUE(SetFileTime(p, nullptr, nullptr, &touched));
  CloseHandle(p);
  info = Info(plain);
  EXPECT_EQ(info.InSyncState, CF_IN_SYNC_STATE_NOT_IN_SYNC);
  EXPECT_EQ(info.OnDiskDataSize.QuadPart, 0);
}

TEST_F(Root, ReadRaisesFetchDataWithCompleteInfoAndWaits) {
  std::string data;
  ASSERT_EQ(app_.Read(file_, 5000, 100, data), S_OK);
  EXPECT_EQ(data, content.substr(5000, 100));
  const Seen s = WaitFor(CF_CALLBACK_TYPE_FETCH_DATA);
  EXPECT_EQ(s.info.ConnectionKey.QuadPart, key_.QuadPart);
  EXPECT_EQ(s.info.CallbackContext, this);
  EXPECT_NE(s.info.TransferKey.QuadPart, 0);
  EXPECT_NE(s.info.RequestKey.QuadPart, 0);
  EXPECT_EQ(s.identity, "id-f");
  EXPECT_EQ(s.info.FileSize.QuadPart, 10000);
  EXPECT_EQ(s.path, file_.substr(2));  // volume-relative
  EXPECT_LE(s.info.PriorityHint, CF_MAX_PRIORITY_HINT);
  EXPECT_NE(s.thread, GetCurrentThreadId());
  EXPECT_EQ(s.pid, GetCurrentProcessId());
  EXPECT_FALSE(s.image.empty());
  // The read's page, and the rest of the file as optional.
  EXPECT_EQ(s.params.FetchData.RequiredFileOffset.QuadPart, 4096);
  EXPECT_EQ(s.params.FetchData.RequiredLength.QuadPart, 4096);
  EXPECT_EQ(s.params.FetchData.OptionalLength.QuadPart, 10000 - 8192);
  EXPECT_EQ(Info(file_).OnDiskDataSize.QuadPart, 4096);

  // An explicit hydration asks for what is still missing, to the end of file,
  // and has it validated when the policy says so.
  ASSERT_EQ(Register(path_, CF_REGISTER_FLAG_UPDATE, CF_HYDRATION_POLICY_FULL, L"Standin test",
                     CF_HYDRATION_POLICY_MODIFIER_VALIDATION_REQUIRED),
            S_OK);
  HANDLE h = Open(file_);
  ASSERT_EQ(CfHydratePlaceholder(h, LI(0), LI(-1), 0, nullptr), S_OK);
  CloseHandle(h);
  const Seen second = WaitFor(CF_CALLBACK_TYPE_FETCH_DATA, 2);
  EXPECT_EQ(second.params.FetchData.Flags, (DWORD)CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION);
  EXPECT_EQ(second.params.FetchData.RequiredLength.QuadPart, 4096);
  EXPECT_EQ(WaitFor(CF_CALLBACK_TYPE_VALIDATE_DATA).params.ValidateData.RequiredLength.QuadPart, 10000);
  EXPECT_EQ(last_execute, S_OK);
  ASSERT_EQ(app_.Read(file_, 0, 10000, data), S_OK);
  EXPECT_EQ(data, content);
  EXPECT_EQ(Count(CF_CALLBACK_TYPE_FETCH_DATA), 3u);  // the hydration fetched both holes
  EXPECT_EQ(Info(file_).InSyncState, CF_IN_SYNC_STATE_IN_SYNC);

  // Dehydrating a range drops just its pages; reading it fetches them again.
  h = Open(file_);
  const CF_FILE_RANGE page{LI(4096), LI(4096)};
  ASSERT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, &page, 1, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(Info(file_).OnDiskDataSize.QuadPart, 10000 - 4096);
  ASSERT_EQ(app_.Read(file_, 5000, 10, data), S_OK);
  EXPECT_EQ(WaitFor(CF_CALLBACK_TYPE_FETCH_DATA, 4).params.FetchData.RequiredFileOffset.QuadPart, 4096);
  EXPECT_EQ(CfDehydratePlaceholder(h, LI(0), LI(-1), 0, nullptr), S_OK);
  EXPECT_EQ(Info(file_).OnDiskDataSize.QuadPart, 0);
  CloseHandle(h);
  EXPECT_EQ(CfReportProviderProgress(key_, s.info.TransferKey, LI(10), LI(5)), kInvalidRequest);  // request over
  ASSERT_EQ(app_.Read(file_, 0, 10000, data), S_OK);
  EXPECT_EQ(data, content);

  // An application's write takes the item out of sync.
  ASSERT_EQ(app_.Write(file_, 0, "XY"), S_OK);
  EXPECT_EQ(Info(file_).InSyncState, CF_IN_SYNC_STATE_NOT_IN_SYNC);
}

TEST_F(Root, TransfersMustBeAlignedInsideTheRequestAndFailuresReachTheReader) {
  transfer_step = 1000;  // not whole pages, and not at the end of the file
  std::string data;
  EXPECT_EQ(app_.Read(file_, 0, 10, data), HRESULT_FROM_WIN32(kErrorRequestTimeout));
  EXPECT_EQ(last_execute, kInvalidRequest);
  const Seen cancel = WaitFor(CF_CALLBACK_TYPE_CANCEL_FETCH_DATA);
  EXPECT_EQ(cancel.params.Cancel.Flags, (DWORD)CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT);
  EXPECT_EQ(cancel.params.Cancel.FetchData.Length.QuadPart, 4096);

  transfer_step = 0;
  answer = kStatusUnsuccessful;
  EXPECT_EQ(app_.Read(file_, 0, 10, data), HRESULT_FROM_WIN32(389));
  answer = 0;
  // The last piece of a file ends unaligned at its end; a transfer out of any request is refused.
  ASSERT_EQ(app_.Read(file_, 9000, 1000, data), S_OK);
  EXPECT_EQ(data, content.substr(9000));
  const Seen s = WaitFor(CF_CALLBACK_TYPE_FETCH_DATA, 3);
  CF_OPERATION_INFO info = Op(&s.info, CF_OPERATION_TYPE_TRANSFER_DATA);
  CF_OPERATION_PARAMETERS op{};
  op.ParamSize = CF_SIZE_OF_OP_PARAM(TransferData);
  op.TransferData.Buffer = content.data();
  op.TransferData.Length.QuadPart = 4096;
  EXPECT_EQ(CfExecute(&info, &op), kInvalidRequest);
  op.ParamSize = 8;
  EXPECT_EQ(CfExecute(&info, &op), E_INVALIDARG);
}

TEST_F(Root, DisconnectWaitsForRunningCallbacksAndFailsTheirRequests) {
  silent = true;
  HRESULT result = S_OK;
  std::thread reader([&] {
    std::string data;
    result = app_.Read(file_, 0, 10, data);
  });
  WaitFor(CF_CALLBACK_TYPE_FETCH_DATA);
  disconnecting = true;
  ASSERT_EQ(CfDisconnectSyncRoot(key_), S_OK);
  EXPECT_TRUE(callback_done);
  key_.QuadPart = 0;
  reader.join();
  EXPECT_EQ(result, HRESULT_FROM_WIN32(kErrorProviderNotRunning));
  std::string data;
  EXPECT_EQ(app_.Read(file_, 0, 10, data), HRESULT_FROM_WIN32(kErrorProviderNotRunning));
}

TEST_F(Root, ListingPopulatesAndItemOperationsAskTheProvider) {
  std::vector<WIN32_FIND_DATAW> entries;
  ASSERT_EQ(app_.List(path_, entries), S_OK);
  ASSERT_EQ(app_.List(path_, entries), S_OK);
  EXPECT_EQ(Count(CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS), 1u);  // populated after the first
  EXPECT_EQ(WaitFor(CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS).param_path, L"*");
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& e : entries) {
    const CF_PLACEHOLDER_STATE state = CfGetPlaceholderStateFromFindData(&e);
    EXPECT_TRUE(state & CF_PLACEHOLDER_STATE_PLACEHOLDER);
    EXPECT_TRUE(state & CF_PLACEHOLDER_STATE_PARTIAL) << "f.bin and listed.txt have no data, sub is not populated";
  }

  answer = kStatusUnsuccessful;
  EXPECT_EQ(app_.Delete(file_), HRESULT_FROM_WIN32(389));
  EXPECT_NE(GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
  answer = 0;
  ASSERT_EQ(app_.Delete(file_), S_OK);
  EXPECT_EQ(GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
  WaitFor(CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION);

  const std::wstring outside = Temp(L"outside") + L"\\moved";
  ASSERT_EQ(app_.Rename(path_ + L"\\sub", outside), S_OK);
  const Seen r = WaitFor(CF_CALLBACK_TYPE_NOTIFY_RENAME);
  EXPECT_EQ(r.param_path, outside.substr(2));
  EXPECT_EQ(r.params.Rename.Flags, (DWORD)(CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY | CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE));
  std::filesystem::remove_all(std::filesystem::path(outside).parent_path());

  // The user frees space: asked first; the acknowledgement takes no callback flags.
  std::string data;
  const std::wstring listed = path_ + L"\\listed.txt";
  content.resize(5000);
  ASSERT_EQ(app_.Read(listed, 0, 5000, data), S_OK);
  ASSERT_EQ(app_.Dehydrate(listed), S_OK);
  EXPECT_EQ(last_execute, E_INVALIDARG);
  EXPECT_EQ(Info(listed).OnDiskDataSize.QuadPart, 0);
}

// An application in another process: its requests reach this process's
// provider, with that process's identity, and see the state kept here.
TEST_F(Root, AnotherProcessReadsThroughThisProvider) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --read \"" + file_ + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitFor(CF_CALLBACK_TYPE_FETCH_DATA).pid, pi.dwProcessId);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--read") {
    std::string data;
    const std::wstring path(argv[2], argv[2] + strlen(argv[2]));
    const HRESULT hr = standin::Application().Read(path, 0, 26, data);
    return SUCCEEDED(hr) && data == "abcdefghijklmnopqrstuvwxyz" ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
