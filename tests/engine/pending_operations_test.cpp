#include <gtest/gtest.h>

#include <atomic>

#include "engine/pending_operations.h"

namespace corvane {
namespace {

class PendingOperationsTest : public ::testing::Test {
 protected:
  std::atomic<bool> enabled{true};
  PendingOperations pending{nullptr, enabled};
};

TEST_F(PendingOperationsTest, UpdatesAreCountedOtherKindsRecordedOnce) {
  EXPECT_TRUE(pending.AddPending(u"\\a.txt", kOpUpdate, false));
  EXPECT_TRUE(pending.AddPending(u"\\a.txt", kOpUpdate, false));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\a.txt", kOpUpdate, false));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\a.txt", kOpUpdate, false));
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\a.txt", kOpUpdate, false));

  pending.AddPending(u"\\b.txt", kOpDelete, false);
  pending.AddPending(u"\\b.txt", kOpDelete, false);
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\b.txt", kOpDelete, false));
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\b.txt", kOpDelete, false));

  // Each kind is its own set.
  pending.AddPending(u"\\c.txt", kOpRename, false);
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\c.txt", kOpDelete, false));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\c.txt", kOpRename, false));

  // A rename's mark is the host's rename to its target only: another item
  // at the name, moved elsewhere by the user, is not the host's.
  pending.AddPending(u"\\d.txt", kOpRename, false, u"\\e.txt");
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\d.txt", kOpRename, false, u"\\mine.txt"));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\d.txt", kOpRename, false, u"\\e.txt"));
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\d.txt", kOpRename, false, u"\\e.txt"));
  // Seen as a removal only, the move names no target.
  pending.AddPending(u"\\d.txt", kOpRename, false, u"\\e.txt");
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\d.txt", kOpRename, false));
}

TEST_F(PendingOperationsTest, AFolderEntryCoversItsDescendantsAndStaysExceptForUpdates) {
  pending.AddPending(u"\\A", kOpDelete, true);
  EXPECT_EQ(pending.CountOf(u"\\A\\", kOpDelete, false), 1u);  // folder keys end in a separator
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\A\\B\\c.txt", kOpDelete, false));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\A\\B", kOpDelete, true));
  // A sibling whose name merely starts the same is not covered.
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\AB\\y", kOpDelete, false));
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\A", kOpDelete, false));
  // The folder's own event consumes it.
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\A", kOpDelete, true));
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\A\\B\\c.txt", kOpDelete, false));

  // A folder made or updated by the host, whose own echo never came: the
  // edits of files in it are still the user's.
  pending.AddPending(u"\\F", kOpUpdate, true);
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\F\\a.txt", kOpUpdate, false));
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\F", kOpUpdate, true));
}

TEST_F(PendingOperationsTest, DisabledOrUnknownKindsRecordNothing) {
  EXPECT_FALSE(pending.AddPending(u"\\a", 7, false));
  EXPECT_FALSE(pending.AddPending(u"\\a", -1, false));
  enabled = false;
  EXPECT_FALSE(pending.AddPending(u"\\a", kOpDelete, false));
  enabled = true;
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\a", kOpDelete, false));
  pending.AddPending(u"\\a", kOpDelete, false);
  enabled = false;
  EXPECT_FALSE(pending.CheckPendingOrRemove(u"\\a", kOpDelete, false));
  enabled = true;
  EXPECT_TRUE(pending.CheckPendingOrRemove(u"\\a", kOpDelete, false));
}

}  // namespace
}  // namespace corvane
