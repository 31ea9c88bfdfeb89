#include "platform/windows/winrt.h"

#include "platform/windows/win32.h"

namespace corvane::platform::windows {
namespace {

using RoInitializeFn = HRESULT(WINAPI*)(int);
using RoUninitializeFn = void(WINAPI*)();
using RoGetActivationFactoryFn = HRESULT(WINAPI*)(HStringHandle, const ComGuid&, void**);
using RoActivateInstanceFn = HRESULT(WINAPI*)(HStringHandle, ComInspectable**);
using WindowsCreateStringFn = HRESULT(WINAPI*)(const wchar_t*, uint32_t, HStringHandle*);
using WindowsDeleteStringFn = HRESULT(WINAPI*)(HStringHandle);
using WindowsGetStringRawBufferFn = const wchar_t*(WINAPI*)(HStringHandle, uint32_t*);

constexpr int kMultithreaded = 1;  // RO_INIT_MULTITHREADED
constexpr ComGuid kAsyncInfoIid = {0x00000036, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// IAsyncInfo: Status 0 started, 1 completed, 2 canceled, 3 error.
class IAsyncInfo : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL get_Id(uint32_t* id) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Status(int32_t* status) = 0;
  virtual HRESULT CORVANE_COM_CALL get_ErrorCode(HRESULT* error) = 0;
  virtual HRESULT CORVANE_COM_CALL Cancel() = 0;
  virtual HRESULT CORVANE_COM_CALL Close() = 0;
};

struct Combase {
  RoInitializeFn initialize = nullptr;
  RoUninitializeFn uninitialize = nullptr;
  RoGetActivationFactoryFn get_factory = nullptr;
  RoActivateInstanceFn activate = nullptr;
  WindowsCreateStringFn create_string = nullptr;
  WindowsDeleteStringFn delete_string = nullptr;
  WindowsGetStringRawBufferFn string_buffer = nullptr;

  bool complete() const {
    return initialize && uninitialize && get_factory && activate && create_string && delete_string && string_buffer;
  }
};

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const Combase& Api() {
  static const Combase api = [] {
    Combase loaded;
    HMODULE module = ::LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return loaded;
    Resolve(module, "RoInitialize", loaded.initialize);
    Resolve(module, "RoUninitialize", loaded.uninitialize);
    Resolve(module, "RoGetActivationFactory", loaded.get_factory);
    Resolve(module, "RoActivateInstance", loaded.activate);
    Resolve(module, "WindowsCreateString", loaded.create_string);
    Resolve(module, "WindowsDeleteString", loaded.delete_string);
    Resolve(module, "WindowsGetStringRawBuffer", loaded.string_buffer);
    if (!loaded.complete()) loaded = Combase{};
    return loaded;
  }();
  return api;
}

// A runtime class that is not registered is as missing as the runtime.
HRESULT Unavailable(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80040154:  // REGDB_E_CLASSNOTREG
    case 0x80004002:  // E_NOINTERFACE
    case 0x80004001:  // E_NOTIMPL
      return kWinRtUnavailable;
    default:
      return hr;
  }
}

}  // namespace

HString::HString(std::u16string_view text) {
  const auto create = Api().create_string;
  if (create == nullptr) return;
  ok_ = create(reinterpret_cast<const wchar_t*>(text.data()), static_cast<uint32_t>(text.size()), &handle_) >= 0;
}

HString::~HString() {
  if (handle_ != nullptr) Api().delete_string(handle_);
}

std::u16string TakeHString(HStringHandle handle) {
  if (handle == nullptr || Api().string_buffer == nullptr) return {};
  uint32_t length = 0;
  const wchar_t* text = Api().string_buffer(handle, &length);
  std::u16string out(reinterpret_cast<const char16_t*>(text), length);
  Api().delete_string(handle);
  return out;
}

WinRtApartment::WinRtApartment() : status_(kWinRtUnavailable) {
  const Combase& api = Api();
  if (!api.complete()) return;
  const HRESULT hr = api.initialize(kMultithreaded);
  if (hr == RPC_E_CHANGED_MODE) {
    status_ = S_OK;  // usable as it is; not ours to uninitialize
  } else {
    status_ = hr >= 0 ? S_OK : hr;
    uninitialize_ = hr >= 0;
  }
}

WinRtApartment::~WinRtApartment() {
  if (uninitialize_) Api().uninitialize();
}

HRESULT GetActivationFactory(std::u16string_view class_name, const ComGuid& iid, void** factory) {
  *factory = nullptr;
  if (!Api().complete()) return kWinRtUnavailable;
  HString name(class_name);
  if (!name.ok()) return E_OUTOFMEMORY;
  return Unavailable(Api().get_factory(name.get(), iid, factory));
}

HRESULT ActivateInstance(std::u16string_view class_name, ComInspectable** instance) {
  *instance = nullptr;
  if (!Api().complete()) return kWinRtUnavailable;
  HString name(class_name);
  if (!name.ok()) return E_OUTOFMEMORY;
  return Unavailable(Api().activate(name.get(), instance));
}

HRESULT WaitForAsync(ComInspectable* operation, uint32_t timeout_ms) {
  ComPtr<IAsyncInfo> info;
  HRESULT hr = operation->QueryInterface(kAsyncInfoIid, info.PutVoid());
  if (hr < 0) return hr;
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (::DWORD pause = 1;; pause = pause < 50 ? pause * 2 : 50) {
    int32_t status = 0;
    hr = info->get_Status(&status);
    if (hr < 0) return hr;
    if (status == 1) return S_OK;
    if (status == 2) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
    if (status == 3) {
      HRESULT error = E_FAIL;
      info->get_ErrorCode(&error);
      return error < 0 ? error : E_FAIL;
    }
    if (::GetTickCount64() >= deadline) {
      info->Cancel();
      return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    ::Sleep(pause);
  }
}

}  // namespace corvane::platform::windows
