#include <gtest/gtest.h>

#include <vector>

#include "engine/engine.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"
#include "common/internal_host.h"
#include "engine/exclusion.h"
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
