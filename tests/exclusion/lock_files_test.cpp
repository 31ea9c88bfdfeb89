#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "engine/engine.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"
#include "retries/engine_host.h"
#include "watcher/lock_files.h"

namespace corvane {
namespace {

using platform::FILE_NOTIFY_EXTENDED_INFORMATION;

TEST(LockFileNames, NameTheirDocuments) {
  std::u16string doc;
  EXPECT_TRUE(IsLockFile(u"\\docs\\~$report.docx", &doc));
  EXPECT_EQ(u"\\docs\\report.docx", doc);
  EXPECT_TRUE(IsLockFile(u"\\~$a.xlsx", &doc));
  EXPECT_EQ(u"\\a.xlsx", doc);
  EXPECT_TRUE(IsLockFile(u"\\db\\data.laccdb", &doc));
  EXPECT_EQ(u"\\db\\data.accdb", doc);
  EXPECT_FALSE(IsLockFile(u"\\docs\\report.docx", &doc));
  EXPECT_FALSE(IsLockFile(u"\\~$dir\\a.txt", &doc));  // only the name counts
  EXPECT_FALSE(IsLockFile(u"\\a~$b.docx", &doc));
  EXPECT_FALSE(IsLockFile(u"\\~$", &doc));  // names no document
}

class LockFileTest : public ::testing::Test, public testing::EngineHost {
 protected:
  LockFileTest() {
    engine().SetSyncRootPath(platform::local::FromNativePath(root_.path()));
    engine().settings.track_office_lock_files.store(true);
  }
  FILE_NOTIFY_EXTENDED_INFORMATION Record(uint32_t action) {
    FILE_NOTIFY_EXTENDED_INFORMATION record{};
    record.Action = action;
    record.FileSize = 162;  // a lock file's size, never the document's
    return record;
  }
  testing::TempDir root_;
};

TEST_F(LockFileTest, DocumentIsLockedWhileItsLockFileExistsThenReportedOnce) {
  std::ofstream(root_ / "report.docx") << "twelve bytes";
  engine().metadata_cache.AddNewItemToCache(u"\\report.docx", u"report.docx", 0, 3, 0, 0, 0);

  EXPECT_TRUE(HandleLockFile(engine(), u"\\~$report.docx", Record(platform::FILE_ACTION_ADDED)));
  bool locked = false;
  ASSERT_TRUE(engine().metadata_cache.GetLocked(u"\\report.docx", &locked));
  EXPECT_TRUE(locked);
  EXPECT_TRUE(HandleLockFile(engine(), u"\\~$report.docx", Record(platform::FILE_ACTION_MODIFIED)));
  EXPECT_EQ(0u, EventCount());

  EXPECT_TRUE(HandleLockFile(engine(), u"\\~$report.docx", Record(platform::FILE_ACTION_REMOVED)));
  auto updates = Events(HALVEX_EVENT_UPDATE_FILE);
  ASSERT_EQ(1u, updates.size());
  EXPECT_EQ(u"\\report.docx", updates[0].path);
  EXPECT_EQ(0x40, updates[0].arg2 & 0x40);
  ASSERT_TRUE(engine().metadata_cache.GetLocked(u"\\report.docx", &locked));
  EXPECT_FALSE(locked);
  CacheItem entry;
  ASSERT_TRUE(engine().metadata_cache.Lookup(u"\\report.docx", &entry, nullptr));
  EXPECT_EQ(12, entry.Size);  // the document's own size
  EXPECT_EQ(0u, engine().tasks.Count());
}

TEST_F(LockFileTest, LockFilesOfUnknownDocumentsAreStillNeverReported) {
  EXPECT_TRUE(HandleLockFile(engine(), u"\\~$new.docx", Record(platform::FILE_ACTION_ADDED)));
  EXPECT_TRUE(HandleLockFile(engine(), u"\\~$new.docx", Record(platform::FILE_ACTION_REMOVED)));
  EXPECT_FALSE(HandleLockFile(engine(), u"\\new.docx", Record(platform::FILE_ACTION_ADDED)));
  engine().settings.track_office_lock_files.store(false);
  EXPECT_FALSE(HandleLockFile(engine(), u"\\~$new.docx", Record(platform::FILE_ACTION_ADDED)));
  EXPECT_EQ(0u, EventCount());
}

}  // namespace
}  // namespace corvane
