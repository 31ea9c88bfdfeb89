// Collecting crawl-scope changes is the same on every system; only SaveAll
// talks to the index.
#include "platform/search.h"

namespace corvane::platform {
namespace {

// "scheme:..." with a scheme of letters, digits, '+', '-', '.', a letter first.
bool LooksLikeUrl(std::u16string_view url) {
  const size_t colon = url.find(u':');
  if (colon == std::u16string_view::npos || colon == 0 || colon + 1 == url.size()) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char16_t c = url[i];
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    const bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
    if (!(letter || (i > 0 && other))) return false;
  }
  return url.find(u'\0') == std::u16string_view::npos;
}

}  // namespace

SearchCrawlScopeManager::SearchCrawlScopeManager(std::u16string catalog) : catalog_(std::move(catalog)) {}

HRESULT SearchCrawlScopeManager::AddDefaultScopeRule(std::u16string_view url, bool include, DWORD follow_flags) {
  if (!LooksLikeUrl(url)) return E_INVALIDARG;
  changes_.push_back(Change{true, CrawlScopeRule{std::u16string(url), include, follow_flags}});
  return S_OK;
}

HRESULT SearchCrawlScopeManager::RemoveDefaultScopeRule(std::u16string_view url) {
  if (!LooksLikeUrl(url)) return E_INVALIDARG;
  changes_.push_back(Change{false, CrawlScopeRule{std::u16string(url), true, 0}});
  return S_OK;
}

}  // namespace corvane::platform
