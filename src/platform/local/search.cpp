// The rules of the one catalog live in StateDir()/search/SystemIndex.rules;
// the file StateDir()/search/disabled stands for a disabled search service.
#include "platform/search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/local/errno_win32.h"
#include "platform/local/name_escape.h"
#include "platform/local/record_file.h"
#include "platform/local/state_dir.h"
#include "platform/local/state_lock.h"
#include "support/utf.h"

namespace corvane::platform {
namespace {

constexpr std::u16string_view kSystemIndex = u"SystemIndex";

std::string SearchDir() { return local::EnsureStateSubdir("search"); }

// One record a rule: include flag, follow flags, URL.
bool LoadRules(const std::string& path, std::vector<CrawlScopeRule>& rules) {
  rules.clear();
  std::vector<local::Record> records;
  if (!local::LoadRecordFile(path, "search", records, true)) return false;
  for (const local::Record& record : records) {
    CrawlScopeRule rule;
    uint32_t include = 0;
    if (!record.Number("include", include) || !record.Number("flags", rule.follow_flags) ||
        !record.Text("url", rule.url))
      return false;
    rule.include = include == 1;
    rules.push_back(std::move(rule));
  }
  return true;
}

bool SaveRules(const std::string& path, const std::vector<CrawlScopeRule>& rules) {
  std::vector<local::Record> records(rules.size());
  for (size_t i = 0; i < rules.size(); ++i) {
    records[i].SetNumber("include", rules[i].include ? 1 : 0);
    records[i].SetNumber("flags", rules[i].follow_flags);
    records[i].Set("url", Utf16ToUtf8Lossy(rules[i].url));
  }
  return local::SaveRecordFile(path, "search", records);
}

std::string RulesPath(const std::string& dir) { return dir + "/SystemIndex.rules"; }

}  // namespace

HRESULT SearchCrawlScopeManager::SaveAll() {
  const std::string dir = SearchDir();
  if (dir.empty()) return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(errno));
  // Re-read under the lock and apply only this manager's changes, so rules
  // saved meanwhile by another process are kept.
  local::StateLock lock(dir + "/.lock", true);
  std::vector<CrawlScopeRule> rules;
  if (!LoadRules(RulesPath(dir), rules)) return HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR);
  for (const Change& change : changes_) {
    auto same = [&](const CrawlScopeRule& rule) { return local::EqualIgnoringAsciiCase(rule.url, change.rule.url); };
    auto it = std::find_if(rules.begin(), rules.end(), same);
    if (!change.add) {
      if (it != rules.end()) rules.erase(it);
    } else if (it != rules.end()) {
      *it = change.rule;
    } else {
      rules.push_back(change.rule);
    }
  }
  if (!SaveRules(RulesPath(dir), rules)) return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(errno));
  changes_.clear();
  return S_OK;
}

HRESULT OpenSearchCrawlScopeManager(std::u16string_view catalog, std::unique_ptr<SearchCrawlScopeManager>& manager) {
  manager.reset();
  const std::string dir = SearchDir();
  if (dir.empty()) return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(errno));
  struct stat st;
  if (stat((dir + "/disabled").c_str(), &st) == 0) return HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED);
  if (!local::EqualIgnoringAsciiCase(catalog, kSystemIndex)) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  manager = std::make_unique<SearchCrawlScopeManager>(std::u16string(kSystemIndex));
  return S_OK;
}

HRESULT ListDefaultScopeRules(std::u16string_view catalog, std::vector<CrawlScopeRule>& rules) {
  rules.clear();
  if (!local::EqualIgnoringAsciiCase(catalog, kSystemIndex)) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  const std::string dir = SearchDir();
  if (dir.empty()) return HRESULT_FROM_WIN32(local::Win32ErrorFromErrno(errno));
  local::StateLock lock(dir + "/.lock", false);
  return LoadRules(RulesPath(dir), rules) ? S_OK : HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR);
}

}  // namespace corvane::platform
