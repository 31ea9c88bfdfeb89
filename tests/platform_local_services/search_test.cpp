#include "platform/search.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform_local_services/child_process.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane::platform {
namespace {

using testing::InChildProcess;

class SearchTest : public ::testing::Test {
 protected:
  std::unique_ptr<SearchCrawlScopeManager> Open() {
    std::unique_ptr<SearchCrawlScopeManager> manager;
    EXPECT_EQ(OpenSearchCrawlScopeManager(u"SystemIndex", manager), S_OK);
    return manager;
  }

  std::vector<std::u16string> Urls() {
    std::vector<CrawlScopeRule> rules;
    EXPECT_EQ(ListDefaultScopeRules(u"SystemIndex", rules), S_OK);
    std::vector<std::u16string> urls;
    for (const CrawlScopeRule& rule : rules) urls.push_back(rule.url);
    return urls;
  }

  testing::TempStateDir state_;
};

TEST_F(SearchTest, RulesApplyOnSaveAllAndSurviveTheProcess) {
  auto manager = Open();
  ASSERT_TRUE(manager);
  ASSERT_EQ(manager->AddDefaultScopeRule(u"file:///home/ann/Cloud", true, FF_INDEXCOMPLEXURLS), S_OK);
  EXPECT_TRUE(Urls().empty());  // not saved yet
  ASSERT_EQ(manager->SaveAll(), S_OK);

  // Another process adds its own rule; neither loses the other's.
  EXPECT_TRUE(InChildProcess([] {
    std::unique_ptr<SearchCrawlScopeManager> child;
    return OpenSearchCrawlScopeManager(u"SystemIndex", child) == S_OK &&
           child->AddDefaultScopeRule(u"file:///srv/Other", true, FF_INDEXCOMPLEXURLS) == S_OK &&
           child->SaveAll() == S_OK;
  }));
  ASSERT_EQ(manager->AddDefaultScopeRule(u"FILE:///home/ann/cloud", false, 0), S_OK);  // same URL, replaced
  ASSERT_EQ(manager->SaveAll(), S_OK);
  std::vector<CrawlScopeRule> rules;
  ASSERT_EQ(ListDefaultScopeRules(u"SystemIndex", rules), S_OK);
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].url, u"FILE:///home/ann/cloud");
  EXPECT_FALSE(rules[0].include);
  EXPECT_EQ(rules[1].url, u"file:///srv/Other");
  EXPECT_EQ(rules[1].follow_flags, FF_INDEXCOMPLEXURLS);

  ASSERT_EQ(manager->RemoveDefaultScopeRule(u"file:///home/ann/Cloud"), S_OK);
  ASSERT_EQ(manager->RemoveDefaultScopeRule(u"file:///not/there"), S_OK);
  ASSERT_EQ(manager->SaveAll(), S_OK);
  EXPECT_EQ(Urls(), std::vector<std::u16string>{u"file:///srv/Other"});
}

TEST_F(SearchTest, DisabledServiceUnknownCatalogAndBadUrlsFail) {
  std::unique_ptr<SearchCrawlScopeManager> manager;
  EXPECT_EQ(OpenSearchCrawlScopeManager(u"OtherIndex", manager), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  manager = Open();
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->AddDefaultScopeRule(u"", true, 0), E_INVALIDARG);
  EXPECT_EQ(manager->AddDefaultScopeRule(u"/no/scheme", true, 0), E_INVALIDARG);
  ASSERT_EQ(manager->AddDefaultScopeRule(u"file:///odd\nname\t%", true, 0), S_OK);
  ASSERT_EQ(manager->SaveAll(), S_OK);
  EXPECT_EQ(Urls(), std::vector<std::u16string>{u"file:///odd\nname\t%"});

  std::ofstream(state_.dir() / "search/disabled") << "";
  EXPECT_EQ(OpenSearchCrawlScopeManager(u"SystemIndex", manager), static_cast<HRESULT>(0x80070422));
  EXPECT_EQ(manager, nullptr);
}

}  // namespace
}  // namespace corvane::platform
