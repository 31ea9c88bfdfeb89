#include <gtest/gtest.h>

#include "common/internal_host.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "platform/types.h"
#include "provider/placeholder_manager.h"
#include "engine/exclusion.h"

namespace corvane {
namespace {

TEST(MaskMatch, FollowsTheWildcardRules) {
  struct Case {
    const char16_t* name;
    const char16_t* mask;
    bool match;
  } cases[] = {
      {u"\\a\\b.tmp", u"*.tmp", true},     {u"\\a\\b.TMP", u"*.tmp", true},   {u"\\a\\b.tmpx", u"*.tmp", false},
      {u"\\a\\b", u"*", true},             {u"\\~a", u"~*", false},           {u"\\x", u"\\x.*", true},
      {u"\\x.txt", u"\\x.*", true},        {u"\\xy", u"\\x.*", false},        {u"\\a\\b", u"*.", true},
      {u"\\a.b", u"*.", false},            {u"\\abc", u"\\a?c", true},        {u"\\ac", u"\\a?c", false},
      {u"\\build\\x\\y.o", u"\\build\\*", true}, {u"\\src\\build\\y", u"\\build\\*", false},
      {u"\\aab", u"*ab", true},            {u"\\baz", u"*?a", false},         {u"\\a", u"*??", true},
      {u"", u"*", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.match, MaskMatch(c.name, c.mask)) << "name " << c.match;
}

class ExclusionTest : public ::testing::Test {
 protected:
  // An active engine has its placeholder manager; the exclusion check asks it.
  void SetUp() override { engine().placeholder_manager = MakeOwned<PlaceholderManager>(engine().diag); }
  Engine& engine() { return host.c().engine; }
  testing::TestHost host{true};
};

}  // namespace
}  // namespace corvane
