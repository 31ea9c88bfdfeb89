// The mark is the shell's own last-sync-error property (System.LastSyncError)
// of the item, written to the shell's volatile property store: the file
// manager shows it, and neither the item's data, its times nor a stream of
// it change, so the mark never looks like a local edit and never hydrates a
// placeholder. Callback and watcher threads have no COM apartment: each call
// joins the multithreaded one for its duration.
#include "platform/error_mark.h"

#include <cstdint>
#include <string>

#include "platform/windows/com.h"
#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

using windows::ComApartment;
using windows::ComGuid;
using windows::ComPtr;
using windows::ComUnknown;

struct PropertyKey {
  ComGuid fmtid;
  uint32_t pid;
};

// PROPVARIANT on x64: the type, three reserved words, a 16-byte union.
struct PropVariant {
  uint16_t vt = 0;
  uint16_t reserved[3] = {};
  union {
    uint32_t ulVal;
    uint64_t storage[2] = {};
  };
};
static_assert(sizeof(PropVariant) == 24);

constexpr uint16_t kVtEmpty = 0;
constexpr uint16_t kVtUi4 = 19;
constexpr PropertyKey kLastSyncError = {{0xFCEFF153, 0xE839, 0x4CF3, {0xA9, 0xE7, 0xEA, 0x22, 0x83, 0x20, 0x94, 0xB8}},
                                        107};
constexpr ComGuid kIidPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
constexpr uint32_t kGpsReadWrite = 0x2;
constexpr uint32_t kGpsVolatilePropertiesOnly = 0x1000;

// IPropertyStore in its documented method order.
class PropertyStore : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL GetCount(uint32_t* count) = 0;
  virtual HRESULT CORVANE_COM_CALL GetAt(uint32_t index, PropertyKey* key) = 0;
  virtual HRESULT CORVANE_COM_CALL GetValue(const PropertyKey& key, PropVariant* value) = 0;
  virtual HRESULT CORVANE_COM_CALL SetValue(const PropertyKey& key, const PropVariant& value) = 0;
  virtual HRESULT CORVANE_COM_CALL Commit() = 0;

 protected:
  ~PropertyStore() = default;
};

using GetStoreFn = HRESULT(__stdcall*)(const wchar_t*, void*, uint32_t, const ComGuid&, void**);
using ClearFn = HRESULT(__stdcall*)(PropVariant*);

template <typename Fn>
Fn SystemEntry(const wchar_t* dll, const char* name) {
  const HMODULE module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

HRESULT OpenStore(std::u16string_view path, uint32_t flags, ComPtr<PropertyStore>& store) {
  static const GetStoreFn get_store = SystemEntry<GetStoreFn>(L"shell32.dll", "SHGetPropertyStoreFromParsingName");
  if (get_store == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  const std::u16string item(path);
  return get_store(reinterpret_cast<const wchar_t*>(item.c_str()), nullptr, flags | kGpsVolatilePropertiesOnly,
                   kIidPropertyStore, store.PutVoid());
}

}  // namespace

HRESULT SetLastSyncErrorMark(std::u16string_view path, bool set) {
  if (path.empty()) return E_INVALIDARG;
  const ComApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<PropertyStore> store;
  HRESULT hr = OpenStore(path, kGpsReadWrite, store);
  if (FAILED(hr)) return hr;
  PropVariant value;
  if (set) {
    value.vt = kVtUi4;
    value.ulVal = static_cast<uint32_t>(E_FAIL);
  } else {
    value.vt = kVtEmpty;  // removes the property
  }
  hr = store->SetValue(kLastSyncError, value);
  return FAILED(hr) ? hr : store->Commit();
}

HRESULT GetLastSyncErrorMark(std::u16string_view path, bool& marked) {
  marked = false;
  if (path.empty()) return E_INVALIDARG;
  const ComApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<PropertyStore> store;
  HRESULT hr = OpenStore(path, 0, store);
  if (FAILED(hr)) return hr;
  PropVariant value;
  hr = store->GetValue(kLastSyncError, &value);
  if (FAILED(hr)) return hr;
  marked = value.vt == kVtUi4 && FAILED(static_cast<HRESULT>(value.ulVal));
  if (value.vt != kVtEmpty && value.vt != kVtUi4) {
    static const ClearFn clear = SystemEntry<ClearFn>(L"ole32.dll", "PropVariantClear");
    if (clear != nullptr) clear(&value);
  }
  return S_OK;
}

}  // namespace corvane::platform
