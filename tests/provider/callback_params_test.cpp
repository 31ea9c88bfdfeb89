#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "provider/callback_params.h"

namespace corvane {
namespace {

using platform::E_INVALIDARG;
using platform::S_FALSE;
using platform::S_OK;

TEST(CallbackParams, NamesMatchWithoutAsciiCaseAndLaterValuesReplace) {
  CallbackParams params;
  ASSERT_EQ(S_OK, params.SetInt64(u"RequiredFileOffset", 4096));
  int64_t v = 0;
  EXPECT_EQ(S_OK, params.GetInt64(u"requiredfileoffset", &v));
  EXPECT_EQ(4096, v);
  EXPECT_EQ(S_OK, params.GetInt64(u"REQUIREDFILEOFFSET", &v));

  ASSERT_EQ(S_OK, params.SetInt32(u"REQUIREDfileOFFSET", 7));
  EXPECT_EQ(1u, params.size());
  EXPECT_EQ(S_OK, params.GetInt64(u"RequiredFileOffset", &v));
  EXPECT_EQ(7, v);

  // Only ASCII letters fold: these are two different names.
  ASSERT_EQ(S_OK, params.SetInt32(u"\u00C9tat", 1));
  EXPECT_EQ(S_FALSE, params.GetInt64(u"\u00E9tat", &v));
}

TEST(CallbackParams, AbsentEmptyAndNullReadAsNothingAndNullArgumentsAreRefused) {
  CallbackParams params;
  int32_t out = 0;
  EXPECT_EQ(E_INVALIDARG, params.SetString(nullptr, u"x"));
  EXPECT_EQ(E_INVALIDARG, params.GetInt32(nullptr, &out));
  EXPECT_EQ(E_INVALIDARG, params.GetString(u"Flags", nullptr));
  ASSERT_EQ(S_OK, params.SetValue(u"Empty", CallbackValue{}));
  ASSERT_EQ(S_OK, params.SetString(u"Pattern", nullptr));

  for (const char16_t* name : {u"Missing", u"Empty", u"Pattern"}) {
    int32_t i = 5;
    int64_t l = 5;
    void* p = &i;
    std::u16string s = u"old";
    EXPECT_EQ(S_FALSE, params.GetInt32(name, &i));
    EXPECT_EQ(S_FALSE, params.GetInt64(name, &l));
    EXPECT_EQ(S_FALSE, params.GetPointer(name, &p));
    EXPECT_EQ(S_FALSE, params.GetString(name, &s));
    EXPECT_EQ(0, i);
    EXPECT_EQ(0, l);
    EXPECT_EQ(nullptr, p);
    EXPECT_TRUE(s.empty());
  }
}

TEST(CallbackParams, ValuesConvertBetweenTypesOrReportWhy) {
  CallbackParams params;
  ASSERT_EQ(S_OK, params.SetString(u"Number", u" -42 "));
  ASSERT_EQ(S_OK, params.SetString(u"Word", u"12abc"));
  ASSERT_EQ(S_OK, params.SetInt64(u"Big", int64_t{1} << 40));
  ASSERT_EQ(S_OK, params.SetInt32(u"Negative", -1));
  ASSERT_EQ(S_OK, params.SetUInt64(u"Huge", ~uint64_t{0}));

  int32_t i = 0;
  int64_t l = 0;
  uint64_t u = 0;
  std::u16string s;
  EXPECT_EQ(S_OK, params.GetInt32(u"Number", &i));
  EXPECT_EQ(-42, i);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, params.GetInt32(u"Word", &i));
  EXPECT_EQ(DISP_E_OVERFLOW, params.GetInt32(u"Big", &i));
  EXPECT_EQ(DISP_E_OVERFLOW, params.GetUInt64(u"Negative", &u));
  EXPECT_EQ(DISP_E_OVERFLOW, params.GetInt64(u"Huge", &l));
  EXPECT_EQ(S_OK, params.GetUInt64(u"Huge", &u));
  EXPECT_EQ(~uint64_t{0}, u);
  EXPECT_EQ(S_OK, params.GetString(u"Big", &s));
  EXPECT_EQ(u"1099511627776", s);
  EXPECT_EQ(S_OK, params.GetString(u"Negative", &s));
  EXPECT_EQ(u"-1", s);

  // Pointers survive the round trip through the unsigned form.
  char buffer[4];
  void* p = nullptr;
  ASSERT_EQ(S_OK, params.SetPointer(u"Buffer", buffer));
  EXPECT_EQ(S_OK, params.GetPointer(u"buffer", &p));
  EXPECT_EQ(static_cast<void*>(buffer), p);
}

TEST(CallbackParams, ConcurrentSettersAndReadersSeeWholeValues) {
  CallbackParams params;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&params, &torn, t] {
      const std::u16string mine = t % 2 ? u"Offset" : u"OFFSET";
      for (int i = 0; i < 2000; ++i) {
        // Each value is written as the same number in both halves.
        const int64_t value = (int64_t{i} << 32) | i;
        params.SetInt64(mine.c_str(), value);
        params.SetString(u"Pattern", t % 2 ? u"aaaaaaaa" : u"bbbbbbbb");
        int64_t read = 0;
        if (params.GetInt64(u"offset", &read) == S_OK && (read >> 32) != (read & 0xFFFFFFFF)) torn = true;
        std::u16string s;
        if (params.GetString(u"pattern", &s) == S_OK && s != u"aaaaaaaa" && s != u"bbbbbbbb") torn = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(2u, params.size());
}

}  // namespace
}  // namespace corvane
