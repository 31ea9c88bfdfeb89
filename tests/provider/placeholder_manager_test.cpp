#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diag/result_codes.h"
#include "platform/search.h"
#include "provider/manager_fixture.h"

namespace corvane::testing {
namespace {

using namespace platform;

using PlaceholderManagerTest = ManagerTest;

TEST_F(PlaceholderManagerTest, BadRecordsAreRejectedBeforeTheDiskIsTouched) {
  RegisterRoot();
  WriteFile("plain.txt", "data");
  const std::u16string plain = PathOf("plain.txt");
  const std::u16string root = RootPath();

  CreatePlaceholderRequest create;
  create.base_directory = root.c_str();
  create.relative_name = u"new.txt";
  create.size = sizeof create - 1;
  EXPECT_EQ(E_INVALIDARG, manager_.CreatePlaceholder(&create));
  create.size = sizeof create;
  create.relative_name = nullptr;
  EXPECT_EQ(E_INVALIDARG, manager_.CreatePlaceholder(&create));
  EXPECT_EQ(E_INVALIDARG, manager_.CreatePlaceholder(nullptr));
  EXPECT_FALSE(std::filesystem::exists(root_ / "new.txt"));

  ConvertRequest convert;
  convert.path = plain.c_str();
  convert.size = sizeof convert + 4;
  EXPECT_EQ(E_INVALIDARG, manager_.ConvertToPlaceholder(&convert));
  EXPECT_EQ(CF_PLACEHOLDER_STATE_NO_STATES, manager_.GetPlaceholderState(plain.c_str()));

  UpdatePlaceholderRequest update;
  EXPECT_EQ(E_INVALIDARG, manager_.UpdatePlaceholder(&update));  // no path
  HydrateRequest dehydrate;
  dehydrate.path = plain.c_str();
  dehydrate.size = 0;
  EXPECT_EQ(E_INVALIDARG, manager_.DehydratePlaceholder(&dehydrate));

  PlaceholderStatesRequest states;
  states.path = plain.c_str();
  states.size = 8;
  states.what_to_set = kSetPinState;
  states.pin_state = CF_PIN_STATE_PINNED;
  EXPECT_EQ(E_INVALIDARG, manager_.SetPlaceholderStates(&states));

  ConnectRootRequest connect;
  connect.sync_root_path = root.c_str();  // but no callback context
  EXPECT_EQ(E_INVALIDARG, manager_.ConnectPlaceholderRoot(&connect, nullptr, {}));
  EXPECT_EQ(nullptr, connect.connection);
  EXPECT_EQ(E_INVALIDARG, manager_.UnregisterPlaceholderRoot(nullptr));
  EXPECT_TRUE(manager_.IsSyncRoot(root.c_str()));

  // The rejection is visible to whoever reads the log.
  const auto exits = LinesWith(u"ConvertToPlaceholder result code: 0x80070057");
  ASSERT_EQ(1u, exits.size());
  EXPECT_EQ(kLogVerbose, exits[0].first);
  EXPECT_FALSE(LinesWith(u"OS error message: The parameter is incorrect.").empty());
}

TEST_F(PlaceholderManagerTest, ReRegisteringWithSamePoliciesAndNamesInOtherCaseKeepsTheRegistration) {
  RegisterRoot();
  EXPECT_TRUE(manager_.IsSyncRoot(RootPath().c_str()));
  EXPECT_EQ(1u, LinesWith(u"RegisterPlaceholderRoot name:'Corvane' version:'1.0'").size());
  EXPECT_EQ(1u, LinesWith(u"returned ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, which is expected").size());

  const auto stored_name = [this] {
    CF_SYNC_ROOT_STANDARD_INFO info{};
    HRESULT hr = CfGetSyncRootInfoByPath(RootPath().c_str(), CF_SYNC_ROOT_INFO_STANDARD, &info, sizeof info, nullptr);
    EXPECT_EQ(S_OK, hr);
    return std::u16string(info.ProviderName);
  };

  ClearLines();
  RegisterRootRequest same = RegisterRequest(u"CORVANE", u"1.0");
  EXPECT_EQ(S_OK, manager_.RegisterPlaceholderRoot(&same));
  EXPECT_TRUE(LinesWith(u"RegisterPlaceholderRoot name:").empty());
  EXPECT_TRUE(LinesWith(u"RegisterPlaceholderRoot result code").empty());
  EXPECT_EQ(u"Corvane", stored_name());

  // Any policy that differs registers again, with the new spelling.
  RegisterRootRequest changed = RegisterRequest(u"CORVANE", u"1.0");
  changed.hydration_modifier = CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED;
  EXPECT_EQ(S_OK, manager_.RegisterPlaceholderRoot(&changed));
  EXPECT_EQ(1u, LinesWith(u"RegisterPlaceholderRoot hyd.primary:0x0002 hyd.mod:0x0004").size());
  EXPECT_EQ(u"CORVANE", stored_name());

  // A folder inside the root shares its registration but is no root itself.
  std::filesystem::create_directory(root_ / "inner");
  const std::u16string inner = PathOf("inner");
  changed.sync_root_path = inner.c_str();
  EXPECT_NE(S_OK, manager_.RegisterPlaceholderRoot(&changed));
  EXPECT_FALSE(manager_.IsSyncRoot(inner.c_str()));
}

TEST_F(PlaceholderManagerTest, RegistrationAddsTheSearchScopeAndUnregisterRemovesItEvenWhenNoLongerARoot) {
  RegisterRoot();
  std::vector<CrawlScopeRule> rules;
  ASSERT_EQ(S_OK, ListDefaultScopeRules(u"SystemIndex", rules));
  ASSERT_EQ(1u, rules.size());
  EXPECT_EQ(u"file:///" + RootPath(), rules[0].url);
  EXPECT_EQ(FF_INDEXCOMPLEXURLS, rules[0].follow_flags);

  // Someone else already removed the platform registration.
  ASSERT_EQ(S_OK, CfUnregisterSyncRoot(RootPath().c_str()));
  EXPECT_EQ(S_OK, manager_.UnregisterPlaceholderRoot(RootPath().c_str()));
  ASSERT_EQ(S_OK, ListDefaultScopeRules(u"SystemIndex", rules));
  EXPECT_TRUE(rules.empty());
  EXPECT_FALSE(manager_.IsSyncRoot(RootPath().c_str()));

  // A search index that cannot be updated leaves the rule, is logged, and
  // does not turn an unregistration that happened into a failure.
  RegisterRoot();
  std::ofstream(state_.dir() / "search/SystemIndex.rules", std::ios::app) << "not a rule\n";
  EXPECT_EQ(S_OK, manager_.UnregisterPlaceholderRoot(RootPath().c_str()));
  EXPECT_FALSE(manager_.IsSyncRoot(RootPath().c_str()));
  EXPECT_EQ(1u, LinesWith(u"SetupFolderForIndex called for '" + RootPath() + u"' returned 0x8007054f").size());
}

TEST_F(PlaceholderManagerTest, IndexingDropsTheLongPathPrefixAndSurvivesADisabledSearchService) {
  const std::u16string prefixed = u"\\\\?\\" + RootPath();
  ASSERT_EQ(S_OK, manager_.SetupFolderForIndex(prefixed.c_str(), true));
  std::vector<CrawlScopeRule> rules;
  ASSERT_EQ(S_OK, ListDefaultScopeRules(u"SystemIndex", rules));
  ASSERT_EQ(1u, rules.size());
  EXPECT_EQ(u"file:///" + RootPath(), rules[0].url);

  std::filesystem::create_directories(state_.dir() / "search");
  std::ofstream(state_.dir() / "search/disabled") << "";
  EXPECT_EQ(S_OK, manager_.SetupFolderForIndex(RootPath().c_str(), false));
  const auto lines = LinesWith(u"failed as Windows Search service is disabled");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(kLogMilestone, lines[0].first);

  // Registration goes on without the index.
  RegisterRoot();
  EXPECT_TRUE(manager_.IsSyncRoot(RootPath().c_str()));
}

TEST_F(PlaceholderManagerTest, CreatedItemsCarryTheirIdentityAndFoldersAreOnlyConverted) {
  RegisterRoot();
  const std::u16string root = RootPath();
  const std::u16string id = u"item-\u00E9\u4E2D-\U0001F600";

  CreatePlaceholderRequest file;
  file.base_directory = root.c_str();
  file.relative_name = u"remote.txt";
  file.file_size = 5000;
  file.file_attributes = FILE_ATTRIBUTE_NORMAL;
  file.file_identity = id.data();
  file.file_identity_length = static_cast<uint32_t>(id.size() * sizeof(char16_t));
  file.placeholder_flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  ASSERT_EQ(S_OK, manager_.CreatePlaceholder(&file));
  EXPECT_EQ(5000u, std::filesystem::file_size(root_ / "remote.txt"));

  std::u16string read_id;
  ASSERT_TRUE(manager_.GetItemIdByPath(PathOf("remote.txt").c_str(), read_id));
  EXPECT_EQ(id, read_id);
  ASSERT_TRUE(manager_.GetItemIdByPath(u"\\", read_id));
  EXPECT_TRUE(read_id.empty());
  // Identities written with their terminating NUL read back without it.
  const std::u16string path_id = u"\\docs\\with-nul.txt";
  CreatePlaceholderRequest with_nul = file;
  with_nul.relative_name = u"with-nul.txt";
  with_nul.file_identity = path_id.c_str();
  with_nul.file_identity_length = static_cast<uint32_t>((path_id.size() + 1) * sizeof(char16_t));
  ASSERT_EQ(S_OK, manager_.CreatePlaceholder(&with_nul));
  ASSERT_TRUE(manager_.GetItemIdByPath(PathOf("with-nul.txt").c_str(), read_id));
  EXPECT_EQ(path_id, read_id);

  // A folder is never created here; a missing one is a failure.
  CreatePlaceholderRequest folder = file;
  folder.relative_name = u"sub";
  folder.file_attributes = FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_TRUE(FAILED(manager_.CreatePlaceholder(&folder)));
  EXPECT_FALSE(std::filesystem::exists(root_ / "sub"));

  std::filesystem::create_directory(root_ / "sub");
  ASSERT_EQ(S_OK, manager_.CreatePlaceholder(&folder));
  const CF_PLACEHOLDER_STATE state = manager_.GetPlaceholderState(PathOf("sub").c_str());
  EXPECT_TRUE(state & CF_PLACEHOLDER_STATE_PLACEHOLDER);
  EXPECT_TRUE(manager_.GetItemIdByPath(PathOf("sub").c_str(), read_id));
  EXPECT_EQ(id, read_id);
}

TEST_F(PlaceholderManagerTest, StatesAreSetAndReadBack) {
  RegisterRoot();
  WriteFile("local.txt", "hello");
  const std::u16string path = PathOf("local.txt");
  ConvertRequest convert;
  convert.path = path.c_str();
  ASSERT_EQ(S_OK, manager_.ConvertToPlaceholder(&convert));
  EXPECT_FALSE(manager_.GetPlaceholderState(path.c_str()) & CF_PLACEHOLDER_STATE_IN_SYNC);

  PlaceholderStatesRequest states;
  states.path = path.c_str();
  states.what_to_set = kSetPinState | kSetInSyncState;
  states.pin_state = CF_PIN_STATE_EXCLUDED;
  states.in_sync_state = CF_IN_SYNC_STATE_IN_SYNC;
  EXPECT_EQ(kOk, manager_.SetPlaceholderStatesForProvider(&states));
  EXPECT_EQ(1u, LinesWith(u"SetPlaceholderStates pin state: 3, pin flags: 0").size());
  EXPECT_TRUE(manager_.GetPlaceholderState(path.c_str()) & CF_PLACEHOLDER_STATE_IN_SYNC);
  bool excluded = false;
  EXPECT_EQ(kOk, manager_.GetPlaceholderExcludedState(path.c_str(), excluded));
  EXPECT_TRUE(excluded);

  // Only the flagged state changes.
  states.what_to_set = kSetPinState;
  states.pin_state = CF_PIN_STATE_PINNED;
  states.in_sync_state = CF_IN_SYNC_STATE_NOT_IN_SYNC;
  ASSERT_EQ(S_OK, manager_.SetPlaceholderStates(&states));
  EXPECT_TRUE(manager_.GetPlaceholderState(path.c_str()) & CF_PLACEHOLDER_STATE_IN_SYNC);
  EXPECT_EQ(kOk, manager_.GetPlaceholderExcludedState(path.c_str(), excluded));
  EXPECT_FALSE(excluded);
}

TEST_F(PlaceholderManagerTest, ProviderLevelFailuresKeepThePlatformCodeAsOsError) {
  RegisterRoot();
  const std::u16string gone = PathOf("gone.txt");
  PlaceholderStatesRequest states;
  states.path = gone.c_str();
  states.what_to_set = kSetInSyncState;
  EXPECT_EQ(kErrOsCallFailed, manager_.SetPlaceholderStatesForProvider(&states));
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), diagnostics_.TakeOsLastError());
  EXPECT_EQ(1u, LinesWith(u"Opening of '" + gone + u"' failed with error code 0x2").size());
  EXPECT_EQ(1u, LinesWith(u"OS error message: The system cannot find the file specified.").size());

  std::u16string id = u"stale";
  EXPECT_FALSE(manager_.GetItemIdByPath(gone.c_str(), id));
  EXPECT_TRUE(id.empty());
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), diagnostics_.TakeOsLastError());
  const auto failures = LinesWith(u"GetPlaceholderInfo for '" + gone + u"' returned error code 0x80070002");
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(kLogFailure, failures[0].first);
  EXPECT_EQ(CF_PLACEHOLDER_STATE_INVALID, manager_.GetPlaceholderState(gone.c_str()));
}

}  // namespace
}  // namespace corvane::testing
