// Generated setting texts of every shape: each must get a result code and a
// valid answer pointer, never a crash or a hang.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "common/internal_host.h"

namespace corvane::testing {
namespace {

const char* const kNames[] = {"LogLevel", "CodePage", "ItemDomain", "SerializeEvents", "CharsetMode",
                              "WindowsRegistrationProviderName", "EventRetryInterval", "ExcludedFiles",
                              "OSLastError", "LastError", "BuildInfo", "NoSuchKey", ""};
const char kPieces[] = "=[]()\" \\xX0123456789-+aZ\x80\xC3\xA9\xFF\xFE\xED\xA0\x80\xF4\x90";

std::string RandomText(std::mt19937& rng) {
  std::uniform_int_distribution<int> shape(0, 9);
  std::uniform_int_distribution<size_t> piece(0, sizeof(kPieces) - 2);
  std::uniform_int_distribution<size_t> name(0, std::size(kNames) - 1);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string text;
  switch (shape(rng)) {
    case 0:  // raw bytes, invalid UTF-8 included
      for (int i = 0, n = byte(rng); i < n; ++i) text.push_back(static_cast<char>(byte(rng)));
      break;
    case 1:  // very long values and names
      text = kNames[name(rng)];
      text += std::string(std::uniform_int_distribution<size_t>(1, 70000)(rng), '[');
      text += "=" + std::string(70000, '"');
      break;
    case 2:
      text = "";
      break;
    default:  // a known name mangled with structural characters
      text = kNames[name(rng)];
      for (int i = 0, n = shape(rng) * 3; i < n; ++i) {
        text.insert(std::uniform_int_distribution<size_t>(0, text.size())(rng), 1, kPieces[piece(rng)]);
      }
      break;
  }
  return text;
}

TEST(ConfigRobustness, GeneratedTextsAlwaysGetAResultCode) {
  HostComponent c;
  const std::set<int32_t> allowed = {0, -1, 0x21000003, 0x21000004, 434};
  std::mt19937 rng(20261206);
  for (int round = 0; round < 4000; ++round) {
    const std::string text = RandomText(rng);
    intptr_t params[2] = {Ptr(text.c_str()), 0};
    int32_t cbparams[2] = {0, 0};
    int32_t rc = Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_CONFIG, 1, params, cbparams, nullptr);
    ASSERT_TRUE(allowed.count(rc)) << "round " << round << " rc " << rc;
    ASSERT_NE(params[1], 0) << "round " << round;
    ASSERT_LT(std::strlen(reinterpret_cast<const char*>(params[1])), 200000u);

    // The same text through the UTF-16 form, with lone surrogates mixed in.
    std::u16string wide(text.begin(), text.end());
    if (round % 3 == 0) wide.insert(wide.size() / 2, 1, char16_t(0xD800 + round % 0x800));
    intptr_t wparams[2] = {Ptr(wide.c_str()), 0};
    rc = Halvex_Corvane_Do(c.handle(), 10000 + HALVEX_METHOD_CONFIG, 1, wparams, cbparams, nullptr);
    ASSERT_TRUE(allowed.count(rc)) << "wide round " << round << " rc " << rc;
    if (rc != 434) {
      ASSERT_NE(wparams[1], 0);
    }
    // Keep the component usable for the next round.
    if (round % 50 == 0) {
      ASSERT_EQ(c.Config("CodePage=65001"), 0);
    }
  }
  ASSERT_EQ(c.Config("CodePage=65001"), 0);
  ASSERT_EQ(c.Config("LogLevel=3"), 0);
  // Missing argument arrays read as empty arguments.
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_CONFIG, 1, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_DELETE_FILE, 1, nullptr, nullptr, nullptr), 21);
  ASSERT_EQ(c.Config("ZeroMemory=no"), 0);
}

}  // namespace
}  // namespace corvane::testing
