#include "platform/windows/com.h"

#include "platform/windows/win32.h"

namespace corvane::platform::windows {
namespace {

using CoInitializeExFn = HRESULT(WINAPI*)(void*, ::DWORD);
using CoUninitializeFn = void(WINAPI*)();
using CoCreateInstanceFn = HRESULT(WINAPI*)(const ComGuid&, void*, ::DWORD, const ComGuid&, void**);
using CoTaskMemFreeFn = void(WINAPI*)(void*);

constexpr ::DWORD kMultithreaded = 0x0;  // COINIT_MULTITHREADED
constexpr ::DWORD kClassContextAll = 0x17;  // CLSCTX_ALL

struct Ole32 {
  CoInitializeExFn initialize = nullptr;
  CoUninitializeFn uninitialize = nullptr;
  CoCreateInstanceFn create = nullptr;
  CoTaskMemFreeFn free = nullptr;
};

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const Ole32& Api() {
  static const Ole32 api = [] {
    Ole32 loaded;
    HMODULE module = ::LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return loaded;
    Resolve(module, "CoInitializeEx", loaded.initialize);
    Resolve(module, "CoUninitialize", loaded.uninitialize);
    Resolve(module, "CoCreateInstance", loaded.create);
    Resolve(module, "CoTaskMemFree", loaded.free);
    return loaded;
  }();
  return api;
}

}  // namespace

ComApartment::ComApartment() : status_(kComUnavailable) {
  const Ole32& api = Api();
  if (api.initialize == nullptr || api.uninitialize == nullptr) return;
  const HRESULT hr = api.initialize(nullptr, kMultithreaded);
  if (hr == RPC_E_CHANGED_MODE) {
    status_ = S_OK;  // usable as it is; not ours to uninitialize
  } else {
    status_ = SUCCEEDED(hr) ? S_OK : hr;
    uninitialize_ = SUCCEEDED(hr);
  }
}

ComApartment::~ComApartment() {
  if (uninitialize_) Api().uninitialize();
}

HRESULT CreateComObject(const ComGuid& clsid, const ComGuid& iid, void** object) {
  *object = nullptr;
  const auto create = Api().create;
  if (create == nullptr) return kComUnavailable;
  return create(clsid, nullptr, kClassContextAll, iid, object);
}

void FreeComMemory(void* memory) {
  if (memory != nullptr && Api().free != nullptr) Api().free(memory);
}

}  // namespace corvane::platform::windows
