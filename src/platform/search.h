// The crawl scope of the desktop search index: the sync root is added as an
// indexed location so the shell can search it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace corvane::platform {

// FOLLOW_FLAGS
constexpr DWORD FF_INDEXCOMPLEXURLS = 0x1;
constexpr DWORD FF_SUPPRESSINDEXING = 0x2;

struct CrawlScopeRule {
  std::u16string url;
  bool include = true;
  DWORD follow_flags = 0;
};

// Changes are collected and written by SaveAll, as with the crawl-scope
// manager of Windows Search; a manager dropped without SaveAll changes nothing.
class SearchCrawlScopeManager {
 public:
  explicit SearchCrawlScopeManager(std::u16string catalog);

  // Adds the rule, or replaces the rule of the same URL. E_INVALIDARG for a
  // text that is not a URL.
  HRESULT AddDefaultScopeRule(std::u16string_view url, bool include, DWORD follow_flags);
  // Removing a URL without a rule changes nothing and succeeds.
  HRESULT RemoveDefaultScopeRule(std::u16string_view url);
  HRESULT SaveAll();

 private:
  struct Change {
    bool add;
    CrawlScopeRule rule;
  };
  std::u16string catalog_;
  std::vector<Change> changes_;
};

// Creates the search manager and opens the crawl-scope manager of `catalog`
// ("SystemIndex"). HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED) when the search
// service is disabled, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for another catalog.
HRESULT OpenSearchCrawlScopeManager(std::u16string_view catalog, std::unique_ptr<SearchCrawlScopeManager>& manager);

// The saved default rules of `catalog`, in the order they were first added.
HRESULT ListDefaultScopeRules(std::u16string_view catalog, std::vector<CrawlScopeRule>& rules);

}  // namespace corvane::platform
