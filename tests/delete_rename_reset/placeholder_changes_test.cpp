#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/internal_host.h"
#include "engine/delete_rename_reset.h"
#include "engine/engine.h"
#include "platform/cloud_files.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"
#include "provider/manager_fixture.h"
#include "provider/placeholder_manager.h"
#include "provider/placeholder_requests.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class PlaceholderChangesTest : public ::testing::Test, public testing::EngineHost {
 protected:
  PlaceholderChangesTest() {
    root_path_ = platform::local::FromNativePath(root_.path());
    engine().SetSyncRootPath(root_path_);
    engine().placeholder_manager = MakeOwned<PlaceholderManager>(engine().diag);
  }
  void Write(const std::string& rel, const std::string& content = "data") {
    fs::create_directories(fs::path(root_ / rel).parent_path());
    std::ofstream(root_ / rel, std::ios::binary) << content;
  }
  bool Exists(const std::string& rel) { return fs::exists(fs::symlink_status(root_ / rel)); }
  std::u16string Full(const std::string& rel) { return platform::local::FromNativePath(root_ / rel); }

  void RegisterRoot() {
    const RegisterRootRequest request = testing::TestRootRequest(root_path_);
    ASSERT_EQ(0, engine().placeholder_manager->RegisterPlaceholderRoot(&request));
  }
  // What is at `rel` becomes an in-sync placeholder: an item the host has.
  void Convert(const std::string& rel) {
    const std::u16string path = Full(rel);
    ConvertRequest convert;
    convert.path = path.c_str();
    convert.convert_flags = platform::CF_CONVERT_FLAG_MARK_IN_SYNC;
    ASSERT_EQ(0, engine().placeholder_manager->ConvertToPlaceholder(&convert));
  }
  // A hydrated, in-sync placeholder, pinned when asked.
  void Placeholder(const std::string& rel, bool pinned) {
    Write(rel, std::string(5000, 'x'));
    Convert(rel);
    const std::u16string path = Full(rel);
    if (!pinned) return;
    PlaceholderStatesRequest states;
    states.path = path.c_str();
    states.what_to_set = kSetPinState;
    states.pin_state = platform::CF_PIN_STATE_PINNED;
    ASSERT_EQ(0, engine().placeholder_manager->SetPlaceholderStates(&states));
  }
  bool Dehydrated(const std::string& rel) {
    return (engine().placeholder_manager->GetPlaceholderState(Full(rel).c_str()) &
            platform::CF_PLACEHOLDER_STATE_PARTIAL) != 0;
  }

  testing::TempStateDir state_;
  testing::TempDir root_;
  testing::TempDir outside_;
  std::u16string root_path_;
};

// Folder deletes with and without DeleteChildren, and renames that would
// replace an item, are covered end to end through the item methods.
TEST_F(PlaceholderChangesTest, TreeDeleteRemovesLinksNotTheirTargets) {
  std::ofstream(outside_ / "keep.txt") << "keep";
  RegisterRoot();
  Write("tree/a.txt");
  Convert("tree");
  Convert("tree/a.txt");
  fs::create_directory_symlink(outside_.path(), root_ / "tree/link");
  EXPECT_EQ(kOk, DoDeletePlaceholder(engine(), u"\\tree", true));
  EXPECT_FALSE(Exists("tree"));
  EXPECT_TRUE(fs::exists(outside_ / "keep.txt"));
}

TEST_F(PlaceholderChangesTest, ReadOnlyFilesAreDeletedAndPathsStayInsideTheRoot) {
  RegisterRoot();
  Write("ro.txt");
  Convert("ro.txt");
  ASSERT_EQ(0, chmod((root_ / "ro.txt").c_str(), 0444));
  EXPECT_EQ(kOk, DoDeletePlaceholder(engine(), u"\\ro.txt", false));
  EXPECT_FALSE(Exists("ro.txt"));
  EXPECT_EQ(kErrLocalItemNotFound, DoDeletePlaceholder(engine(), u"\\ro.txt", false));

  std::ofstream(outside_ / "victim.txt") << "x";
  const std::string escape = "\\..\\" + fs::path(outside_.path()).filename().string() + "\\victim.txt";
  const std::u16string escape16(escape.begin(), escape.end());
  EXPECT_EQ(kErrInvalidParameter, DoDeletePlaceholder(engine(), escape16, false));
  EXPECT_EQ(kErrInvalidParameter, DoDeletePlaceholder(engine(), u"\\", true));  // never the root itself
  EXPECT_EQ(kErrInvalidParameter, DoRenamePlaceholder(engine(), u"\\a", escape16, true));
  EXPECT_TRUE(fs::exists(outside_ / "victim.txt"));
}

TEST_F(PlaceholderChangesTest, FolderResetKeepsPinnedFilesAndTellsTheHostOnce) {
  RegisterRoot();
  Placeholder("f/pinned.bin", true);
  Placeholder("f/plain.bin", false);
  EXPECT_EQ(kOk, DoClearPlaceholder(engine(), u"\\f"));
  EXPECT_FALSE(Dehydrated("f/pinned.bin"));
  EXPECT_TRUE(Dehydrated("f/plain.bin"));
  auto resets = Events(HALVEX_EVENT_RESET_FILE);
  ASSERT_EQ(2u, resets.size());  // the dehydrated file, then the folder
  EXPECT_EQ("\\f\\plain.bin", resets[0].path);
  EXPECT_EQ("\\f", resets[1].path);
}

}  // namespace
}  // namespace corvane
