// Sync-root registration through the Windows Runtime's
// StorageProviderSyncRootManager, called through its ABI: the interfaces
// below are declared from their documented IIDs and method order (mingw-w64
// has no header for them). Where the runtime or the class is missing (Wine,
// Windows before 10 1709) every call gives kWinRtUnavailable.
#include "platform/shell.h"

#include <string>

#include "platform/windows/winrt.h"
#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

using windows::ComGuid;
using windows::ComInspectable;
using windows::ComPtr;
using windows::HString;
using windows::HStringHandle;
using windows::TakeHString;

constexpr std::u16string_view kManagerClass = u"Windows.Storage.Provider.StorageProviderSyncRootManager";
constexpr std::u16string_view kInfoClass = u"Windows.Storage.Provider.StorageProviderSyncRootInfo";
constexpr std::u16string_view kFolderClass = u"Windows.Storage.StorageFolder";
constexpr std::u16string_view kUriClass = u"Windows.Foundation.Uri";

constexpr ComGuid kManagerStaticsIid = {0x3e99fbbf, 0x8fe3, 0x4b40, {0xab, 0xc7, 0xf6, 0xfc, 0x3d, 0x74, 0xc9, 0x8e}};
constexpr ComGuid kSyncRootInfoIid = {0x7c1305c4, 0x99f9, 0x41ac, {0x89, 0x04, 0xab, 0x05, 0x5d, 0x65, 0x49, 0x26}};
constexpr ComGuid kFolderStaticsIid = {0x08f327ff, 0x85d5, 0x48b9, {0xae, 0xe9, 0x28, 0x51, 0x1e, 0x33, 0x9f, 0x9f}};
constexpr ComGuid kStorageItemIid = {0x4207a996, 0xca2f, 0x42f7, {0xbd, 0xe8, 0x8b, 0x10, 0x45, 0x7a, 0x7f, 0x30}};
constexpr ComGuid kUriFactoryIid = {0x44a9796f, 0x723e, 0x4fdf, {0xa2, 0x18, 0x03, 0x3e, 0x75, 0xb0, 0xc0, 0x84}};

constexpr uint32_t kFolderTimeoutMs = 30000;
static_assert(kShellRegistrationUnavailable == windows::kWinRtUnavailable);

// Windows.Foundation.IUriRuntimeClass; only RawUri (slot 16) is read.
class IUri : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL Slot6() = 0;   // get_AbsoluteUri
  virtual HRESULT CORVANE_COM_CALL Slot7() = 0;   // get_DisplayUri
  virtual HRESULT CORVANE_COM_CALL Slot8() = 0;   // get_Domain
  virtual HRESULT CORVANE_COM_CALL Slot9() = 0;   // get_Extension
  virtual HRESULT CORVANE_COM_CALL Slot10() = 0;  // get_Fragment
  virtual HRESULT CORVANE_COM_CALL Slot11() = 0;  // get_Host
  virtual HRESULT CORVANE_COM_CALL Slot12() = 0;  // get_Password
  virtual HRESULT CORVANE_COM_CALL Slot13() = 0;  // get_Path
  virtual HRESULT CORVANE_COM_CALL Slot14() = 0;  // get_Query
  virtual HRESULT CORVANE_COM_CALL Slot15() = 0;  // get_QueryParsed
  virtual HRESULT CORVANE_COM_CALL get_RawUri(HStringHandle* value) = 0;
};

class IUriFactory : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL CreateUri(HStringHandle uri, IUri** result) = 0;
};

// Windows.Storage.IStorageItem; only Path (slot 12) is read.
class IStorageItem : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL Slot6() = 0;   // RenameAsyncOverloadDefaultOptions
  virtual HRESULT CORVANE_COM_CALL Slot7() = 0;   // RenameAsync
  virtual HRESULT CORVANE_COM_CALL Slot8() = 0;   // DeleteAsyncOverloadDefaultOptions
  virtual HRESULT CORVANE_COM_CALL Slot9() = 0;   // DeleteAsync
  virtual HRESULT CORVANE_COM_CALL Slot10() = 0;  // GetBasicPropertiesAsync
  virtual HRESULT CORVANE_COM_CALL Slot11() = 0;  // get_Name
  virtual HRESULT CORVANE_COM_CALL get_Path(HStringHandle* value) = 0;
};

class IStorageFolderStatics : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL GetFolderFromPathAsync(HStringHandle path, ComInspectable** operation) = 0;
};

// IAsyncOperation<StorageFolder>: the IID is a parameterized one, but the
// object comes from GetFolderFromPathAsync and only its vtable is needed.
class IAsyncFolderOperation : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL put_Completed(void* handler) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Completed(void** handler) = 0;
  virtual HRESULT CORVANE_COM_CALL GetResults(ComInspectable** folder) = 0;
};

class ISyncRootInfo : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL get_Id(HStringHandle* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_Id(HStringHandle value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Context(void** value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_Context(void* value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Path(ComInspectable** folder) = 0;
  virtual HRESULT CORVANE_COM_CALL put_Path(ComInspectable* folder) = 0;
  virtual HRESULT CORVANE_COM_CALL get_DisplayNameResource(HStringHandle* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_DisplayNameResource(HStringHandle value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_IconResource(HStringHandle* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_IconResource(HStringHandle value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_HydrationPolicy(int32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_HydrationPolicy(int32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_HydrationPolicyModifier(uint32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_HydrationPolicyModifier(uint32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_PopulationPolicy(int32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_PopulationPolicy(int32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_InSyncPolicy(uint32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_InSyncPolicy(uint32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_HardlinkPolicy(uint32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_HardlinkPolicy(uint32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_ShowSiblingsAsGroup(uint8_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_ShowSiblingsAsGroup(uint8_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Version(HStringHandle* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_Version(HStringHandle value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_ProtectionMode(int32_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_ProtectionMode(int32_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_AllowPinning(uint8_t* value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_AllowPinning(uint8_t value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_StorageProviderItemPropertyDefinitions(void** value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_RecycleBinUri(IUri** value) = 0;
  virtual HRESULT CORVANE_COM_CALL put_RecycleBinUri(IUri* value) = 0;
};

// IVectorView<StorageProviderSyncRootInfo>, reached through its vtable only.
class ISyncRootInfoList : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL GetAt(uint32_t index, ISyncRootInfo** item) = 0;
  virtual HRESULT CORVANE_COM_CALL get_Size(uint32_t* size) = 0;
};

class ISyncRootManagerStatics : public ComInspectable {
 public:
  virtual HRESULT CORVANE_COM_CALL Register(ISyncRootInfo* info) = 0;
  virtual HRESULT CORVANE_COM_CALL Unregister(HStringHandle id) = 0;
  virtual HRESULT CORVANE_COM_CALL GetSyncRootInformationForFolder(ComInspectable* folder, ISyncRootInfo** info) = 0;
  virtual HRESULT CORVANE_COM_CALL GetSyncRootInformationForId(HStringHandle id, ISyncRootInfo** info) = 0;
  virtual HRESULT CORVANE_COM_CALL GetCurrentSyncRoots(ISyncRootInfoList** roots) = 0;
};

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// The runtime's ways of saying "no such sync root".
bool IsNotFound(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80070490:  // ERROR_NOT_FOUND
    case 0x80070002:  // ERROR_FILE_NOT_FOUND
    case 0x80070057:  // E_INVALIDARG
    case 0x8000000B:  // E_BOUNDS
      return true;
    default:
      return false;
  }
}

HRESULT Manager(ComPtr<ISyncRootManagerStatics>& manager) {
  return windows::GetActivationFactory(kManagerClass, kManagerStaticsIid, manager.PutVoid());
}

HRESULT SetText(ISyncRootInfo* info, HRESULT (CORVANE_COM_CALL ISyncRootInfo::*put)(HStringHandle),
                std::u16string_view text) {
  HString value(text);
  if (!value.ok()) return E_OUTOFMEMORY;
  return (info->*put)(value.get());
}

std::u16string GetText(ISyncRootInfo* info, HRESULT (CORVANE_COM_CALL ISyncRootInfo::*get)(HStringHandle*)) {
  HStringHandle value = nullptr;
  if ((info->*get)(&value) < 0) return {};
  return TakeHString(value);
}

// The runtime wants the folder as a StorageFolder, which it finds itself.
HRESULT FolderOf(const std::u16string& path, ComPtr<ComInspectable>& folder) {
  ComPtr<IStorageFolderStatics> statics;
  HRESULT hr = windows::GetActivationFactory(kFolderClass, kFolderStaticsIid, statics.PutVoid());
  if (FAILED(hr)) return hr;
  HString text(path);
  if (!text.ok()) return E_OUTOFMEMORY;
  ComPtr<ComInspectable> started;
  hr = statics->GetFolderFromPathAsync(text.get(), started.Put());
  if (FAILED(hr)) return hr;
  hr = windows::WaitForAsync(started.get(), kFolderTimeoutMs);
  if (FAILED(hr)) return hr;
  hr = static_cast<IAsyncFolderOperation*>(started.get())->GetResults(folder.Put());
  return SUCCEEDED(hr) && !folder ? E_FAIL : hr;
}

HRESULT Fill(ISyncRootInfo* info, const StorageProviderSyncRootInfo& in) {
  ComPtr<ComInspectable> folder;
  HRESULT hr = FolderOf(in.Path, folder);
  if (FAILED(hr)) return hr;
  hr = info->put_Path(folder.get());
  if (SUCCEEDED(hr)) hr = SetText(info, &ISyncRootInfo::put_Id, in.Id);
  if (SUCCEEDED(hr)) hr = SetText(info, &ISyncRootInfo::put_DisplayNameResource, in.DisplayNameResource);
  if (SUCCEEDED(hr)) hr = SetText(info, &ISyncRootInfo::put_IconResource, in.IconResource);
  if (SUCCEEDED(hr)) hr = SetText(info, &ISyncRootInfo::put_Version, in.Version);
  if (SUCCEEDED(hr)) hr = info->put_HydrationPolicy(static_cast<int32_t>(in.HydrationPolicy));
  if (SUCCEEDED(hr)) hr = info->put_HydrationPolicyModifier(in.HydrationPolicyModifier);
  if (SUCCEEDED(hr)) hr = info->put_PopulationPolicy(static_cast<int32_t>(in.PopulationPolicy));
  if (SUCCEEDED(hr)) hr = info->put_InSyncPolicy(in.InSyncPolicy);
  if (SUCCEEDED(hr)) hr = info->put_HardlinkPolicy(in.HardlinkPolicy);
  if (SUCCEEDED(hr)) hr = info->put_ShowSiblingsAsGroup(in.ShowSiblingsAsGroup ? 1 : 0);
  if (SUCCEEDED(hr)) hr = info->put_AllowPinning(in.AllowPinning ? 1 : 0);
  if (SUCCEEDED(hr) && in.RecycleBinUri) {
    ComPtr<IUriFactory> factory;
    hr = windows::GetActivationFactory(kUriClass, kUriFactoryIid, factory.PutVoid());
    HString text(*in.RecycleBinUri);
    ComPtr<IUri> uri;
    if (SUCCEEDED(hr)) hr = text.ok() ? factory->CreateUri(text.get(), uri.Put()) : E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) hr = info->put_RecycleBinUri(uri.get());
  }
  return hr;
}

StorageProviderSyncRootInfo Read(ISyncRootInfo* info) {
  StorageProviderSyncRootInfo out;
  out.Id = GetText(info, &ISyncRootInfo::get_Id);
  out.DisplayNameResource = GetText(info, &ISyncRootInfo::get_DisplayNameResource);
  out.IconResource = GetText(info, &ISyncRootInfo::get_IconResource);
  out.Version = GetText(info, &ISyncRootInfo::get_Version);
  ComPtr<ComInspectable> folder;
  ComPtr<IStorageItem> item;
  if (info->get_Path(folder.Put()) >= 0 && folder &&
      folder->QueryInterface(kStorageItemIid, item.PutVoid()) >= 0 && item) {
    HStringHandle path = nullptr;
    if (item->get_Path(&path) >= 0) out.Path = TakeHString(path);
  }
  int32_t signed_value = 0;
  uint32_t value = 0;
  uint8_t flag = 0;
  if (info->get_HydrationPolicy(&signed_value) >= 0) out.HydrationPolicy = static_cast<uint32_t>(signed_value);
  if (info->get_HydrationPolicyModifier(&value) >= 0) out.HydrationPolicyModifier = value;
  if (info->get_PopulationPolicy(&signed_value) >= 0) out.PopulationPolicy = static_cast<uint32_t>(signed_value);
  if (info->get_InSyncPolicy(&value) >= 0) out.InSyncPolicy = value;
  if (info->get_HardlinkPolicy(&value) >= 0) out.HardlinkPolicy = value;
  if (info->get_ShowSiblingsAsGroup(&flag) >= 0) out.ShowSiblingsAsGroup = flag != 0;
  if (info->get_AllowPinning(&flag) >= 0) out.AllowPinning = flag != 0;
  ComPtr<IUri> uri;
  if (info->get_RecycleBinUri(uri.Put()) >= 0 && uri) {
    HStringHandle raw = nullptr;
    if (uri->get_RawUri(&raw) >= 0) out.RecycleBinUri = TakeHString(raw);
  }
  return out;
}

HRESULT CheckFolder(const std::u16string& path) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return E_INVALIDARG;
  const ::DWORD attributes = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()));
  if (attributes == INVALID_FILE_ATTRIBUTES) return HRESULT_FROM_WIN32(::GetLastError());
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? S_OK : HRESULT_FROM_WIN32(ERROR_DIRECTORY);
}

bool ValidId(std::u16string_view id) {
  return !id.empty() && id.find(u'\\') == std::u16string_view::npos && id.find(u'\0') == std::u16string_view::npos;
}

HRESULT FindById(ISyncRootManagerStatics* manager, std::u16string_view id, ComPtr<ISyncRootInfo>& info) {
  HString text(id);
  if (!text.ok()) return E_OUTOFMEMORY;
  const HRESULT hr = manager->GetSyncRootInformationForId(text.get(), info.Put());
  if (IsNotFound(hr) || (SUCCEEDED(hr) && !info)) return kNotFound;
  return hr;
}

}  // namespace

HRESULT StorageProviderSyncRootManager::Register(const StorageProviderSyncRootInfo& info) {
  if (!ValidId(info.Id)) return E_INVALIDARG;
  if (const HRESULT hr = CheckFolder(info.Path); FAILED(hr)) return hr;
  windows::WinRtApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<ISyncRootManagerStatics> manager;
  HRESULT hr = Manager(manager);
  if (FAILED(hr)) return hr;
  ComPtr<ComInspectable> created;
  hr = windows::ActivateInstance(kInfoClass, created.Put());
  if (FAILED(hr)) return hr;
  ComPtr<ISyncRootInfo> root;
  hr = created->QueryInterface(kSyncRootInfoIid, root.PutVoid());
  if (FAILED(hr)) return hr;
  hr = Fill(root.get(), info);
  if (FAILED(hr)) return hr;
  // Register replaces an earlier registration of the same id.
  return manager->Register(root.get());
}

HRESULT StorageProviderSyncRootManager::Unregister(std::u16string_view id) {
  if (id.empty()) return E_INVALIDARG;
  if (!ValidId(id)) return kNotFound;
  windows::WinRtApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<ISyncRootManagerStatics> manager;
  HRESULT hr = Manager(manager);
  if (FAILED(hr)) return hr;
  // The runtime's answer for an unknown id varies; ask first.
  ComPtr<ISyncRootInfo> existing;
  hr = FindById(manager.get(), id, existing);
  if (FAILED(hr)) return hr;
  HString text(id);
  if (!text.ok()) return E_OUTOFMEMORY;
  hr = manager->Unregister(text.get());
  return IsNotFound(hr) ? kNotFound : hr;
}

HRESULT StorageProviderSyncRootManager::GetSyncRootInformationForId(std::u16string_view id,
                                                                    StorageProviderSyncRootInfo& info) {
  if (!ValidId(id)) return kNotFound;
  windows::WinRtApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<ISyncRootManagerStatics> manager;
  HRESULT hr = Manager(manager);
  if (FAILED(hr)) return hr;
  ComPtr<ISyncRootInfo> found;
  hr = FindById(manager.get(), id, found);
  if (FAILED(hr)) return hr;
  info = Read(found.get());
  return S_OK;
}

HRESULT StorageProviderSyncRootManager::GetCurrentSyncRoots(std::vector<StorageProviderSyncRootInfo>& roots) {
  roots.clear();
  windows::WinRtApartment apartment;
  if (FAILED(apartment.status())) return apartment.status();
  ComPtr<ISyncRootManagerStatics> manager;
  HRESULT hr = Manager(manager);
  if (FAILED(hr)) return hr;
  ComPtr<ISyncRootInfoList> list;
  hr = manager->GetCurrentSyncRoots(list.Put());
  if (FAILED(hr)) return hr;
  if (!list) return E_FAIL;
  uint32_t size = 0;
  hr = list->get_Size(&size);
  if (FAILED(hr)) return hr;
  for (uint32_t i = 0; i < size; ++i) {
    ComPtr<ISyncRootInfo> item;
    hr = list->GetAt(i, item.Put());
    if (FAILED(hr)) return hr;
    if (item) roots.push_back(Read(item.get()));
  }
  return S_OK;
}

}  // namespace corvane::platform
