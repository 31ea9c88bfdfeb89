// The mirror's view of the server folder: which differences between two
// scans it reports, and that its own writes are not reported back.
#include <gtest/gtest.h>

#include "server_snapshot.h"

namespace mirror {
namespace {

ServerItem File(uint64_t inode, int64_t size, int64_t mtime = 1) {
  ServerItem item;
  item.inode = inode;
  item.size = size;
  item.mtime_ns = mtime;
  return item;
}
ServerItem Folder(uint64_t inode) {
  ServerItem item;
  item.is_folder = true;
  item.inode = inode;
  return item;
}

std::vector<std::string> Describe(const std::vector<ServerChange>& changes) {
  std::vector<std::string> out;
  for (const ServerChange& c : changes) {
    static const char* kNames[] = {"added ", "removed ", "modified ", "renamed "};
    out.push_back(kNames[c.kind] + c.path + (c.kind == ServerChange::kRenamed ? " -> " + c.new_path : ""));
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(ServerSnapshot, MovedFolderIsOneRenameAndItsChangedChildAnUpdate) {
  const Snapshot before = {{"a", Folder(1)}, {"a/x.txt", File(2, 5)}, {"a/y.txt", File(3, 5)}, {"a/sub", Folder(4)},
                           {"a/sub/z", File(5, 1)}};
  // a/ moved to b/; y.txt also changed and z removed in the same interval.
  const Snapshot after = {{"b", Folder(1)}, {"b/x.txt", File(2, 5)}, {"b/y.txt", File(3, 9, 2)},
                          {"b/sub", Folder(4)}};
  EXPECT_EQ(Describe(DiffSnapshots(before, after)),
            (Lines{"renamed a -> b", "removed b/sub/z", "modified b/y.txt"}));
}

TEST(ServerSnapshot, RemovedFolderHidesItsChildrenAndAdditionsComeParentsFirst) {
  const Snapshot before = {{"old", Folder(1)}, {"old/a", File(2, 1)}, {"old/deep", Folder(3)},
                           {"old/deep/b", File(4, 1)}, {"keep.txt", File(5, 3)}};
  const Snapshot after = {{"keep.txt", File(5, 3)}, {"new/inner/c", File(8, 1)}, {"new", Folder(6)},
                          {"new/inner", Folder(7)}, {"z.txt", File(9, 1)}};
  EXPECT_EQ(Describe(DiffSnapshots(before, after)),
            (Lines{"removed old", "added new", "added z.txt", "added new/inner", "added new/inner/c"}));
}

TEST(ServerSnapshot, ReplacedOrTouchedFileIsModifiedAndKindChangeIsRemoveThenAdd) {
  const Snapshot before = {{"same.txt", File(1, 4, 10)}, {"replaced.txt", File(2, 4, 10)},
                           {"touched.txt", File(3, 4, 10)}, {"x", File(4, 1)}};
  // replaced.txt was swapped in by rename (new inode, same size and time).
  const Snapshot after = {{"same.txt", File(1, 4, 10)}, {"replaced.txt", File(12, 4, 10)},
                          {"touched.txt", File(3, 4, 11)}, {"x", Folder(4)}};
  EXPECT_EQ(Describe(DiffSnapshots(before, after)),
            (Lines{"removed x", "added x", "modified replaced.txt", "modified touched.txt"}));
}

TEST(ServerIndex, OwnWritesAreNotReportedButLaterOutsideChangesAre) {
  ServerIndex index;
  index.Reset({{"docs", Folder(1)}, {"docs/a.txt", File(2, 1)}});

  // An upload that finishes while a scan runs: the scan missed it.
  const uint64_t before_scan = index.Generation();
  index.RecordWrite("docs/new.txt", File(3, 7));
  index.RecordRename("docs", "papers");
  EXPECT_TRUE(index.Reconcile({{"docs", Folder(1)}, {"docs/a.txt", File(2, 1)}}, before_scan).empty());

  // The next scan sees the mirror's writes: nothing to report either.
  const Snapshot settled = {{"papers", Folder(1)}, {"papers/a.txt", File(2, 1)}, {"papers/new.txt", File(3, 7)}};
  EXPECT_TRUE(index.Reconcile(settled, index.Generation()).empty());

  // Someone else edits a file and deletes another: both are reported once.
  index.RecordRemoval("gone-already.txt");
  const Snapshot edited = {{"papers", Folder(1)}, {"papers/a.txt", File(2, 2, 5)}};
  EXPECT_EQ(Describe(index.Reconcile(edited, index.Generation())),
            (Lines{"removed papers/new.txt", "modified papers/a.txt"}));
  EXPECT_TRUE(index.Reconcile(edited, index.Generation()).empty());
}

TEST(ServerPaths, LibraryPathsCannotLeaveTheServerFolder) {
  std::string out;
  EXPECT_TRUE(ToServerPath("\\docs\\a.txt", out));
  EXPECT_EQ(out, "docs/a.txt");
  EXPECT_TRUE(ToServerPath("\\", out));
  EXPECT_EQ(out, "");
  for (const char* bad : {"\\..\\etc\\passwd", "\\docs\\..\\..\\x", "\\.\\a", "/docs/../.."})
    EXPECT_FALSE(ToServerPath(bad, out)) << bad;
  EXPECT_EQ(ToLibraryPath("docs/a.txt"), "\\docs\\a.txt");
  EXPECT_FALSE(IsMirroredName(std::string(kUploadPrefix) + "abc123"));
  EXPECT_FALSE(IsMirroredName("back\\slash"));
}

}  // namespace
}  // namespace mirror
