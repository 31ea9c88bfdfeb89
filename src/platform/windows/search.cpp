// The crawl scope of Windows Search through its COM interfaces
// (ISearchManager -> ISearchCatalogManager -> ISearchCrawlScopeManager),
// declared here from their documented IIDs and method order: mingw-w64 has
// no searchapi.h. Changes are collected as the portable class does and
// handed to the real manager in SaveAll, which commits them with its SaveAll.
#include "platform/search.h"

#include <algorithm>
#include <string>

#include "platform/windows/com.h"
#include "platform/windows/win32.h"

namespace corvane::platform {
namespace {

using windows::ComApartment;
using windows::ComGuid;
using windows::ComPtr;
using windows::ComUnknown;
using Text = const wchar_t*;

constexpr ComGuid kSearchManagerClass = {0x7D096C5F, 0xAC08, 0x4F1F, {0xBE, 0xB7, 0x5C, 0x22, 0xC5, 0x17, 0xCE, 0x39}};
constexpr ComGuid IidOfSearchInterface(uint8_t last) {
  return {0xAB310581, 0xAC80, 0x11D1, {0x8D, 0xF3, 0x00, 0xC0, 0x4F, 0xB6, 0xEF, last}};
}
constexpr ComGuid kSearchManagerIid = IidOfSearchInterface(0x69);
constexpr ComGuid kCatalogManagerIid = IidOfSearchInterface(0x50);

class ISearchScopeRule : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL get_PatternOrURL(wchar_t** url) = 0;
  virtual HRESULT CORVANE_COM_CALL get_IsIncluded(BOOL* included) = 0;
  virtual HRESULT CORVANE_COM_CALL get_IsDefault(BOOL* is_default) = 0;
  virtual HRESULT CORVANE_COM_CALL get_FollowFlags(::DWORD* flags) = 0;
};

class IEnumSearchScopeRules : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL Next(ULONG count, ISearchScopeRule** rules, ULONG* fetched) = 0;
};

class ISearchCrawlScopeManager : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL AddDefaultScopeRule(Text url, BOOL include, ::DWORD follow_flags) = 0;
  virtual HRESULT CORVANE_COM_CALL AddRoot(void* root) = 0;
  virtual HRESULT CORVANE_COM_CALL RemoveRoot(Text url) = 0;
  virtual HRESULT CORVANE_COM_CALL EnumerateRoots(void** roots) = 0;
  virtual HRESULT CORVANE_COM_CALL AddHierarchicalScope(Text url, BOOL include, BOOL is_default, BOOL override) = 0;
  virtual HRESULT CORVANE_COM_CALL AddUserScopeRule(Text url, BOOL include, BOOL override, ::DWORD flags) = 0;
  virtual HRESULT CORVANE_COM_CALL RemoveScopeRule(Text rule) = 0;
  virtual HRESULT CORVANE_COM_CALL EnumerateScopeRules(IEnumSearchScopeRules** rules) = 0;
  virtual HRESULT CORVANE_COM_CALL HasParentScopeRule(Text url, BOOL* has) = 0;
  virtual HRESULT CORVANE_COM_CALL HasChildScopeRule(Text url, BOOL* has) = 0;
  virtual HRESULT CORVANE_COM_CALL IncludedInCrawlScope(Text url, BOOL* included) = 0;
  virtual HRESULT CORVANE_COM_CALL IncludedInCrawlScopeEx(Text url, BOOL* included, int* reason) = 0;
  virtual HRESULT CORVANE_COM_CALL RevertToDefaultScopes() = 0;
  virtual HRESULT CORVANE_COM_CALL SaveAll() = 0;
  virtual HRESULT CORVANE_COM_CALL GetParentScopeVersionId(Text url, LONG* version) = 0;
  virtual HRESULT CORVANE_COM_CALL RemoveDefaultScopeRule(Text url) = 0;
};

class ISearchCatalogManager : public ComUnknown {
 public:
  // Slots 3..27: get_Name .. get_DiacriticSensitivity, never called here.
  virtual HRESULT CORVANE_COM_CALL Unused3() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused4() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused5() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused6() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused7() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused8() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused9() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused10() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused11() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused12() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused13() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused14() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused15() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused16() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused17() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused18() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused19() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused20() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused21() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused22() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused23() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused24() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused25() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused26() = 0;
  virtual HRESULT CORVANE_COM_CALL Unused27() = 0;
  virtual HRESULT CORVANE_COM_CALL GetCrawlScopeManager(ISearchCrawlScopeManager** manager) = 0;
};

class ISearchManager : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL GetIndexerVersionStr(wchar_t** version) = 0;
  virtual HRESULT CORVANE_COM_CALL GetIndexerVersion(::DWORD* major, ::DWORD* minor) = 0;
  virtual HRESULT CORVANE_COM_CALL GetParameter(Text name, void** value) = 0;
  virtual HRESULT CORVANE_COM_CALL SetParameter(Text name, const void* value) = 0;
  virtual HRESULT CORVANE_COM_CALL get_ProxyName(wchar_t** name) = 0;
  virtual HRESULT CORVANE_COM_CALL get_BypassList(wchar_t** list) = 0;
  virtual HRESULT CORVANE_COM_CALL SetProxy(int use, BOOL local_bypass, ::DWORD port, Text name, Text bypass) = 0;
  virtual HRESULT CORVANE_COM_CALL GetCatalog(Text catalog, ISearchCatalogManager** manager) = 0;
};


const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// A search service that is missing, stopped for good or not registered is
// reported as disabled: for the caller all mean "no indexing here".
HRESULT ServiceResult(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80040154:  // REGDB_E_CLASSNOTREG
    case 0x80080005:  // CO_E_SERVER_EXEC_FAILURE
    case 0x800401F0:  // CO_E_NOTINITIALIZED
    case 0x80070422:  // the service is disabled
    case 0x80070424:  // the service does not exist
      return HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED);
    default:
      return hr;
  }
}

// Opens the crawl-scope manager of `catalog`; COM must be up on this thread.
HRESULT OpenScopes(std::u16string_view catalog, ComPtr<ISearchCrawlScopeManager>& scopes) {
  ComPtr<ISearchManager> search;
  HRESULT hr = windows::CreateComObject(kSearchManagerClass, kSearchManagerIid, search.PutVoid());
  if (FAILED(hr)) return ServiceResult(hr);
  ComPtr<ISearchCatalogManager> catalog_manager;
  const std::u16string name(catalog);
  hr = search->GetCatalog(Wide(name), catalog_manager.Put());
  if (FAILED(hr) || !catalog_manager) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  hr = catalog_manager->GetCrawlScopeManager(scopes.Put());
  if (SUCCEEDED(hr) && !scopes) hr = E_FAIL;
  return ServiceResult(hr);
}

}  // namespace

HRESULT SearchCrawlScopeManager::SaveAll() {
  ComApartment apartment;
  if (FAILED(apartment.status())) return ServiceResult(apartment.status());
  ComPtr<ISearchCrawlScopeManager> scopes;
  HRESULT hr = OpenScopes(catalog_, scopes);
  if (FAILED(hr)) return hr;
  for (const Change& change : changes_) {
    if (change.add) {
      hr = scopes->AddDefaultScopeRule(Wide(change.rule.url), change.rule.include ? TRUE : FALSE,
                                       change.rule.follow_flags);
    } else {
      hr = scopes->RemoveDefaultScopeRule(Wide(change.rule.url));
      // Removing what is not there changes nothing and succeeds.
      if (static_cast<uint32_t>(hr) == 0x80070490 || hr == S_FALSE) hr = S_OK;  // ERROR_NOT_FOUND
    }
    // Nothing is committed unless every change was accepted.
    if (FAILED(hr)) return hr;
  }
  hr = scopes->SaveAll();
  if (SUCCEEDED(hr)) changes_.clear();
  return SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT OpenSearchCrawlScopeManager(std::u16string_view catalog, std::unique_ptr<SearchCrawlScopeManager>& manager) {
  manager.reset();
  ComApartment apartment;
  if (FAILED(apartment.status())) return ServiceResult(apartment.status());
  ComPtr<ISearchCrawlScopeManager> scopes;
  const HRESULT hr = OpenScopes(catalog, scopes);
  if (FAILED(hr)) return hr;
  manager = std::make_unique<SearchCrawlScopeManager>(std::u16string(catalog));
  return S_OK;
}

HRESULT ListDefaultScopeRules(std::u16string_view catalog, std::vector<CrawlScopeRule>& rules) {
  rules.clear();
  ComApartment apartment;
  if (FAILED(apartment.status())) return ServiceResult(apartment.status());
  ComPtr<ISearchCrawlScopeManager> scopes;
  HRESULT hr = OpenScopes(catalog, scopes);
  if (FAILED(hr)) return hr;
  ComPtr<IEnumSearchScopeRules> all;
  hr = scopes->EnumerateScopeRules(all.Put());
  if (FAILED(hr)) return hr;
  if (!all) return E_FAIL;
  for (;;) {
    ComPtr<ISearchScopeRule> rule;
    ULONG fetched = 0;
    hr = all->Next(1, rule.Put(), &fetched);
    if (FAILED(hr)) return hr;
    if (hr != S_OK || fetched == 0 || !rule) break;
    BOOL is_default = FALSE;
    if (FAILED(rule->get_IsDefault(&is_default)) || !is_default) continue;
    wchar_t* url = nullptr;
    BOOL included = FALSE;
    ::DWORD follow = 0;
    if (FAILED(rule->get_PatternOrURL(&url)) || url == nullptr) continue;
    CrawlScopeRule entry;
    entry.url = reinterpret_cast<const char16_t*>(url);
    windows::FreeComMemory(url);
    if (SUCCEEDED(rule->get_IsIncluded(&included))) entry.include = included != FALSE;
    if (SUCCEEDED(rule->get_FollowFlags(&follow))) entry.follow_flags = follow;
    rules.push_back(std::move(entry));
  }
  return S_OK;
}

}  // namespace corvane::platform
