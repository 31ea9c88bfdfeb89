#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform_local_services/child_process.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane::platform {
namespace {

using testing::InChildProcess;

LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * 2));
}

LSTATUS Create(HKEY root, const char16_t* path, HKEY* key, DWORD* disposition = nullptr) {
  return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key, disposition);
}

std::u16string QueryString(HKEY root, const char16_t* path, const char16_t* name, LSTATUS* status = nullptr) {
  HKEY key = nullptr;
  LSTATUS result = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
  std::u16string text;
  if (result == ERROR_SUCCESS) {
    char16_t buffer[128] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<uint8_t*>(buffer), &size);
    if (result == ERROR_SUCCESS && type == REG_SZ) text = buffer;
    RegCloseKey(key);
  }
  if (status) *status = result;
  return text;
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempStateDir state_;
};

TEST_F(RegistryTest, ValuesSurviveTheProcessAndNamesIgnoreCase) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetString(key, u"Name", u"first"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, u"NAME", u"second"), ERROR_SUCCESS);  // same value
  const DWORD number = 0x12345678;
  ASSERT_EQ(RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&number), 4), ERROR_SUCCESS);
  RegCloseKey(key);

  EXPECT_TRUE(InChildProcess([] {
    HKEY child_key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\vendor\\app", 0, KEY_READ, &child_key) != ERROR_SUCCESS)
      return false;
    DWORD value = 0, size = 4, type = 0;
    const bool ok = RegQueryValueExW(child_key, u"count", nullptr, &type, reinterpret_cast<uint8_t*>(&value),
                                     &size) == ERROR_SUCCESS &&
                    type == REG_DWORD && value == 0x12345678;
    RegCloseKey(child_key);
    HKEY created = nullptr;
    return ok && Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App\\FromChild", &created) == ERROR_SUCCESS &&
           SetString(created, u"", u"child") == ERROR_SUCCESS && RegCloseKey(created) == ERROR_SUCCESS;
  }));
  EXPECT_EQ(QueryString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"name"), u"second");
  EXPECT_EQ(QueryString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App\\FromChild", nullptr), u"child");

  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  // The roots are separate trees.
  LSTATUS status = 0;
  QueryString(HKEY_CURRENT_USER, u"SOFTWARE\\Vendor\\App", u"Name", &status);
  EXPECT_EQ(status, static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, QueryReportsSizesMissingValuesAndShortBuffers) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Q", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, u"Text", u"hello"), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);
  uint8_t small[4] = {};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Text", nullptr, &type, small, &size), static_cast<LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 12u);
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, &type, small, &size), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  const DWORD three_bytes = 0;
  EXPECT_EQ(RegSetValueExW(key, u"Bad", 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&three_bytes), 3),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  RegCloseKey(key);

  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nope", 0, KEY_READ, &missing),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(missing, nullptr);
}

TEST_F(RegistryTest, DeleteTreeWithoutSubKeyEmptiesTheKeyButKeepsIt) {
  HKEY key = nullptr, sub = nullptr;
  ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"A\\B", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, u"V", u"v"), ERROR_SUCCESS);
  ASSERT_EQ(Create(key, u"C\\D", &sub), ERROR_SUCCESS);
  ASSERT_EQ(SetString(sub, u"W", u"w"), ERROR_SUCCESS);
  RegCloseKey(sub);

  HKEY read_only = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B", 0, KEY_READ, &read_only), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(read_only, nullptr), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SetString(read_only, u"V", u"x"), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  RegCloseKey(read_only);

  ASSERT_EQ(RegDeleteTreeW(key, nullptr), ERROR_SUCCESS);
  LSTATUS status = 0;
  QueryString(HKEY_LOCAL_MACHINE, u"A\\B", u"V", &status);
  EXPECT_EQ(status, static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));  // value gone, key opens
  QueryString(HKEY_LOCAL_MACHINE, u"A\\B\\C", u"W", &status);
  EXPECT_EQ(status, static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(SetString(key, u"Again", u"a"), ERROR_SUCCESS);  // the handle still works
  EXPECT_EQ(QueryString(HKEY_LOCAL_MACHINE, u"A\\B", u"Again"), u"a");

  // With a sub-key the sub-key itself goes; a handle to it sees the deletion.
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"A"), ERROR_SUCCESS);
  EXPECT_EQ(SetString(key, u"Late", u"l"), static_cast<LSTATUS>(ERROR_KEY_DELETED));
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"A"), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeyNamesCannotReachOutsideTheRegistry) {
  HKEY key = nullptr;
  ASSERT_EQ(Create(HKEY_CURRENT_USER, u"..\\..\\..\\x/y\\#values\\.", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, u"V", u"inside"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(QueryString(HKEY_CURRENT_USER, u"..\\..\\..\\X/Y\\#VALUES\\.", u"V"), u"inside");
  for (const auto& entry : std::filesystem::directory_iterator(state_.dir().path()))
    EXPECT_EQ(entry.path().filename(), "registry");
  EXPECT_EQ(Create(HKEY_CURRENT_USER, u"a\\\\b", &key), static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Create(HKEY_CURRENT_USER, std::u16string(256, u'k').c_str(), &key),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace corvane::platform
