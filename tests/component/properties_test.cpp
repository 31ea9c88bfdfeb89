#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_host.h"

namespace corvane::testing {
namespace {

std::string Narrow(intptr_t value) { return value ? reinterpret_cast<const char*>(value) : "<null>"; }
std::u16string Wide(intptr_t value) { return value ? reinterpret_cast<const char16_t*>(value) : u"<null>"; }

TEST(Properties, FixedPropertiesAnswerWithoutTouchingTheLastError) {
  HostComponent c;
  c.SetLast(77, "earlier");
  EXPECT_EQ(Narrow(c.Get(HALVEX_PROP_VERSION)), "HALVEX_VERSION_26_0_9657");
  EXPECT_EQ(c.Get(HALVEX_PROP_CODE_PAGE), 65001);
  EXPECT_EQ(c.Get(10000 + HALVEX_PROP_CODE_PAGE), 65001);
  EXPECT_EQ(c.Get(20000 + HALVEX_PROP_CODE_PAGE), 65001);
  EXPECT_EQ(c.LastCode(), 77);
  // Integers keep their sign.
  ASSERT_EQ(c.Config("CodePage=-1"), 0);
  EXPECT_EQ(c.Get(HALVEX_PROP_CODE_PAGE), -1);
  EXPECT_EQ(c.Query("CodePage"), "-1");
  ASSERT_EQ(c.Config("CodePage=65001"), 0);
  c.SetLast(77, "earlier");

  // Read-only and unknown IDs cannot be written, and nothing is recorded.
  for (int32_t id : {0, 1, 8000, 6, 10001, 20001, 28000}) {
    EXPECT_EQ(c.Set(id, 1), -1) << id;
    EXPECT_EQ(c.LastCode(), 77) << id;
  }
  // Any other Get clears the code and keeps the text.
  EXPECT_EQ(c.Get(HALVEX_PROP_ACTIVATION_STATE), 0);
  EXPECT_EQ(c.LastCode(), 0);
  EXPECT_EQ(c.LastText(), "earlier");
  c.SetLast(5, "x");
  EXPECT_EQ(c.Get(42), 0);
  EXPECT_EQ(c.LastCode(), 0);
}

TEST(Properties, StringFormsShareOneStoredValue) {
  HostComponent c;
  // UTF-16 form: stored unconverted, read back through either form.
  ASSERT_EQ(c.SetTextW(10000 + HALVEX_PROP_SYNC_ROOT_PATH, u"/home/\u00e5sa/Cloud"), 0);
  EXPECT_EQ(Narrow(c.Get(HALVEX_PROP_SYNC_ROOT_PATH)), "/home/\xC3\xA5sa/Cloud");
  EXPECT_EQ(Wide(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_PATH)), u"/home/\u00e5sa/Cloud");

  // 8-bit form and the +20000 form convert with the code page.
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "Cl\xC3\xB6ud"), 0);
  EXPECT_EQ(Wide(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_LABEL)), u"Cl\u00f6ud");
  ASSERT_EQ(c.SetText(20000 + HALVEX_PROP_SYNC_ROOT_ICON, "icon.dll,3"), 0);
  EXPECT_EQ(Wide(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_ICON)), u"icon.dll,3");

  // Null stores an empty string.
  ASSERT_EQ(c.Set(HALVEX_PROP_SYNC_ROOT_ICON, 0), 0);
  EXPECT_EQ(Narrow(c.Get(HALVEX_PROP_SYNC_ROOT_ICON)), "");

  // Both forms hand out a buffer of the calling thread that its next Get of
  // the same property reuses.
  EXPECT_EQ(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_PATH), c.Get(10000 + HALVEX_PROP_SYNC_ROOT_PATH));
  intptr_t first = c.Get(HALVEX_PROP_SYNC_ROOT_LABEL);
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "Other"), 0);
  intptr_t second = c.Get(HALVEX_PROP_SYNC_ROOT_LABEL);
  EXPECT_EQ(first, second);
  EXPECT_EQ(Narrow(second), "Other");
}

TEST(Properties, FailedConversionsAnswer434AndKeepTheOldValue) {
  HostComponent c;
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "kept"), 0);
  c.SetLast(3, "older text");
  EXPECT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "bad \xC3\x28 utf8"), 434);
  EXPECT_EQ(c.LastCode(), 434);
  EXPECT_EQ(c.LastText(), "older text");
  EXPECT_EQ(Narrow(c.Get(HALVEX_PROP_SYNC_ROOT_LABEL)), "kept");

  // A value the code page cannot hold gives a null 8-bit answer.
  ASSERT_EQ(c.SetTextW(10000 + HALVEX_PROP_SYNC_ROOT_LABEL, u"\u65e5\u672c"), 0);
  ASSERT_EQ(c.Config("CodePage=1252"), 0);
  EXPECT_EQ(c.Get(HALVEX_PROP_SYNC_ROOT_LABEL), 0);
  EXPECT_EQ(c.LastCode(), 0);
}

TEST(Properties, WritesAreCheckedAgainstRangeThenState) {
  HostComponent c;
  ASSERT_EQ(c.Config("LogLevel=4"), 0);
  EXPECT_EQ(c.Set(HALVEX_PROP_SERIALIZE_EVENTS, 2), 0);
  EXPECT_EQ(c.Get(HALVEX_PROP_SERIALIZE_EVENTS), 2);
  EXPECT_EQ(c.Query("SerializeEvents"), "2");
  EXPECT_EQ(c.Set(HALVEX_PROP_SERIALIZE_EVENTS, -1), 0x21000004);
  EXPECT_EQ(c.LastText(), "Invalid SerializeEvents value");
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_PATH, "/old"), 0);

  c.engine().state.active = 1;
  EXPECT_EQ(c.Set(HALVEX_PROP_SERIALIZE_EVENTS, 3), 0x21000004);
  EXPECT_EQ(c.Set(HALVEX_PROP_SERIALIZE_EVENTS, 1), 0x21000003);
  EXPECT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_PATH, "/new"), 0x21000003);
  EXPECT_EQ(c.LastCode(), 0x21000003);
  EXPECT_EQ(c.LastText(), "The sync operation has already been started");
  EXPECT_TRUE(c.Logged("SetSyncRootPath /new"));
  c.engine().state.active = 0;

  EXPECT_EQ(Narrow(c.Get(HALVEX_PROP_SYNC_ROOT_PATH)), "/old");
  EXPECT_EQ(c.Get(HALVEX_PROP_SERIALIZE_EVENTS), 2);
  c.SetLast(8, "t");
  EXPECT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_PATH, "/new"), 0);
  EXPECT_EQ(c.LastCode(), 0);
  ASSERT_EQ(c.Config("LogLevel=3"), 0);
}

// Readers on many threads, a writer, and Config queries that read the label:
// every answer is one whole value, and no thread's text changes under it.
TEST(Properties, StringsAreSafeFromManyThreads) {
  HostComponent c;
  const std::string a(40, 'a');
  const std::string b(300, 'b');
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, a.c_str()), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  auto whole = [&](const std::string& text) { return text == a || text == b; };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000 && !stop; ++i) {
        const char* label = reinterpret_cast<const char*>(c.Get(HALVEX_PROP_SYNC_ROOT_LABEL));
        const char16_t* wide = reinterpret_cast<const char16_t*>(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_LABEL));
        const std::string copy = label ? label : "";
        std::string id = t % 2 ? c.Query("WindowsStorageProviderId") : c.Query("BuildInfo");
        const std::u16string wide_copy = wide ? wide : u"";
        if (!whole(copy) || (t % 2 && !whole(id)) || !whole(std::string(wide_copy.begin(), wide_copy.end())) ||
            copy != label) {
          ++bad;
        }
      }
    });
  }
  for (int i = 0; i < 3000; ++i) c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, (i % 2 ? a : b).c_str());
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace corvane::testing
