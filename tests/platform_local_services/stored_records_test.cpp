// The local platform's state files: what earlier versions wrote is still
// read and is rewritten in the current format on its next change, and
// values of any bytes come back as they went in.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/cloud_files.h"
#include "platform/local/native_path.h"
#include "platform/registry.h"
#include "platform/search.h"
#include "platform/shell.h"
#include "platform_local_services/child_process.h"
#include "platform_local_services/temp_dirs.h"
#include "support/utf.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using testing::InChildProcess;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces a file the way the stores do, so that a reader watching the
// folder's time sees the change.
void ReplaceFile(const std::string& path, const std::string& content) {
  std::ofstream(path + ".new", std::ios::binary) << content;
  ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

// The one file under `dir` (recursively) whose name ends in `suffix`.
std::string OneFile(const std::string& dir, const std::string& suffix) {
  std::string found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      EXPECT_TRUE(found.empty()) << "two files end in " << suffix << ": " << found << ", " << entry.path();
      found = entry.path().string();
    }
  }
  EXPECT_FALSE(found.empty()) << "no file ends in " << suffix << " under " << dir;
  return found;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char digits[3];
  for (unsigned char c : bytes) {
    snprintf(digits, sizeof digits, "%02x", c);
    out += digits;
  }
  return out;
}

std::string Utf16Bytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

LSTATUS SetValue(HKEY key, const char16_t* name, const std::string& bytes) {
  return RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

std::string QueryValue(const char16_t* path, const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  uint8_t buffer[256];
  DWORD size = sizeof buffer, type = 0;
  const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buffer), size) : "<no value>";
}

std::vector<CrawlScopeRule> Rules() {
  std::vector<CrawlScopeRule> rules;
  EXPECT_EQ(ListDefaultScopeRules(u"SystemIndex", rules), S_OK);
  return rules;
}

class StoredRecords : public ::testing::Test {
 protected:
  std::string Dir(const std::string& sub) { return state_.dir() / sub; }

  testing::TempStateDir state_;
  testing::TempDir folder_;
};

constexpr char kCurrentFormat[] = "corvane-records 1 ";

TEST_F(StoredRecords, FilesOfTheEarlierLineFormatsAreReadAndRewrittenOnTheirNextChange) {
  // Registry values: type, name as UTF-16LE and data, both in hex.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Legacy", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(SetValue(key, u"Placeholder", "x"), ERROR_SUCCESS);
  const std::string values = OneFile(Dir("registry"), "#values");
  ReplaceFile(values, "3\t" + Hex(Utf16Bytes(u"Old\u00e9")) + "\t" + Hex(std::string("a\n%\0b", 5)) + "\n");
  EXPECT_EQ(QueryValue(u"Software\\Legacy", u"Old\u00e9"), std::string("a\n%\0b", 5));

  // Search rules: include, follow flags, URL with '%', tab, CR, LF as %XX.
  std::unique_ptr<SearchCrawlScopeManager> search;
  ASSERT_EQ(OpenSearchCrawlScopeManager(u"SystemIndex", search), S_OK);
  ASSERT_EQ(search->AddDefaultScopeRule(u"file:///placeholder", true, 0), S_OK);
  ASSERT_EQ(search->SaveAll(), S_OK);
  const std::string rules = OneFile(Dir("search"), ".rules");
  ReplaceFile(rules, "1\t" + std::to_string(FF_INDEXCOMPLEXURLS) + "\tfile:///old/100%25%09done\n");
  ASSERT_EQ(Rules().size(), 1u);
  EXPECT_EQ(Rules()[0].url, u"file:///old/100%\tdone");
  EXPECT_TRUE(Rules()[0].include);
  EXPECT_EQ(Rules()[0].follow_flags, static_cast<DWORD>(FF_INDEXCOMPLEXURLS));

  // Shell registrations: Key=value lines with the same escape.
  StorageProviderSyncRootInfo info;
  info.Id = u"Corvane!S-1-22-1-5!Legacy";
  info.Path = local::FromNativePath(folder_.path());
  info.Version = u"1.0";
  ASSERT_EQ(StorageProviderSyncRootManager::Register(info), S_OK);
  const std::string shell = OneFile(Dir("shell"), ".root");
  std::string old_shell;
  for (const char* line : {"HydrationPolicy=2", "HydrationPolicyModifier=0", "PopulationPolicy=2", "InSyncPolicy=17",
                           "Version=0.9", "ShowSiblingsAsGroup=0", "AllowPinning=1", "HardlinkPolicy=0",
                           "DisplayNameResource=Old%25label", "IconResource=,0",
                           "NamespaceCLSID={11111111-2222-3333-4444-555555555555}"})
    old_shell += std::string(line) + "\n";
  ReplaceFile(shell, "Id=Corvane!S-1-22-1-5!Legacy\nPath=" + Utf16ToUtf8Lossy(info.Path) + "\n" + old_shell);
  StorageProviderSyncRootInfo seen;
  ASSERT_EQ(StorageProviderSyncRootManager::GetSyncRootInformationForId(u"Corvane!S-1-22-1-5!Legacy", seen), S_OK);
  EXPECT_EQ(seen.DisplayNameResource, u"Old%label");
  EXPECT_EQ(seen.Version, u"0.9");
  EXPECT_EQ(seen.InSyncPolicy, 17u);
  EXPECT_TRUE(seen.AllowPinning);

  // Sync-root registrations: a header line, then texts in hex.
  CF_SYNC_REGISTRATION reg;
  reg.ProviderName = u"NewCloud";
  reg.ProviderVersion = u"2.0";
  CF_SYNC_POLICIES policies;
  policies.Hydration = {CF_HYDRATION_POLICY_FULL, 0};
  policies.Population = {CF_POPULATION_POLICY_FULL, 0};
  ASSERT_EQ(CfRegisterSyncRoot(local::FromNativePath(folder_.path()).c_str(), &reg, &policies, 0), S_OK);
  const std::string root_file = OneFile(Dir("syncroots"), ".root");
  const std::string current = ReadText(root_file);
  const size_t root_at = current.find("\nroot=");
  ASSERT_NE(root_at, std::string::npos) << current;
  const std::string root = current.substr(root_at + 6, current.find('\n', root_at + 6) - root_at - 6);
  ReplaceFile(root_file, "corvane-syncroot 1\nroot=" + Hex(root) + "\nname=" + Hex("OldCloud") +
                             "\nversion=" + Hex("1.5") + "\nidentity=" + Hex(std::string("\0\n", 2)) +
                             "\nhydration=2,0\npopulation=2,0\ninsync=0\nhardlink=0\nflags=0\nfileid=7\n");
  EXPECT_TRUE(InChildProcess([&] {
    CF_SYNC_ROOT_PROVIDER_INFO provider;
    return CfGetSyncRootInfoByPath(local::FromNativePath(folder_.path()).c_str(), CF_SYNC_ROOT_INFO_PROVIDER,
                                   &provider, sizeof provider, nullptr) == S_OK &&
           std::u16string(provider.ProviderName) == u"OldCloud" && std::u16string(provider.ProviderVersion) == u"1.5";
  }));

  // A change writes the current format and keeps what the old file held.
  ASSERT_EQ(SetValue(key, u"New", "y"), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(search->AddDefaultScopeRule(u"file:///new", false, 0), S_OK);
  ASSERT_EQ(search->SaveAll(), S_OK);
  seen.Version = u"1.0";
  ASSERT_EQ(StorageProviderSyncRootManager::Register(seen), S_OK);
  for (const std::string& file : {values, rules, shell})
    EXPECT_EQ(ReadText(file).rfind(kCurrentFormat, 0), 0u) << file << ":\n" << ReadText(file);
  EXPECT_TRUE(InChildProcess([] {
    StorageProviderSyncRootInfo again;
    std::vector<CrawlScopeRule> rules;
    return QueryValue(u"Software\\Legacy", u"Old\u00e9") == std::string("a\n%\0b", 5) &&
           QueryValue(u"Software\\Legacy", u"New") == "y" &&
           ListDefaultScopeRules(u"SystemIndex", rules) == S_OK && rules.size() == 2 &&
           rules[0].url == u"file:///old/100%\tdone" &&
           StorageProviderSyncRootManager::GetSyncRootInformationForId(u"Corvane!S-1-22-1-5!Legacy", again) == S_OK &&
           again.DisplayNameResource == u"Old%label" && again.Version == u"1.0";
  }));
}

}  // namespace
}  // namespace corvane::platform
