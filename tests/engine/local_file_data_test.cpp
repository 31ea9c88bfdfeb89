#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "component/method_layer.h"
#include "common/internal_host.h"
#include "diag/result_codes.h"
#include "platform/local/native_path.h"
#include "platform_local_services/temp_dirs.h"

namespace corvane {
namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class LocalFileDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "data.bin") << "hello world";
    engine().state.active.store(1);
  }
  void TearDown() override { engine().state.active.store(0); }
  Engine& engine() { return host.c().engine; }

  int64_t NewTask(const std::string& file) {
    Task* task = engine().tasks.CreateTask(u"\\data.bin", OP_WRITE_DATA, nullptr);
    if (!file.empty()) task->LocalPath = platform::local::FromNativePath(dir_ / file);
    return engine().tasks.RegisterTask(task);
  }

  int32_t Read(int64_t id, int64_t position, int32_t index, int32_t count) {
    bytes = -1;
    std::memset(buffer, '.', sizeof(buffer));
    return do_GetLocalFileData(engine(), id, position, reinterpret_cast<uint8_t*>(buffer), sizeof(buffer), index,
                               count, bytes);
  }

  testing::TempDir dir_;
  testing::TestHost host{true};
  char buffer[16];
  int32_t bytes = -1;
};

TEST_F(LocalFileDataTest, ReadsUpToTheEndAndRefusesBeyondIt) {
  const size_t descriptors = OpenDescriptors();
  const int64_t id = NewTask("data.bin");
  EXPECT_EQ(kOk, Read(id, 0, 2, 5));
  EXPECT_EQ(5, bytes);
  EXPECT_EQ(0, std::memcmp(buffer, "..hello.", 8));
  EXPECT_EQ(kOk, Read(id, 6, 0, 16));  // fewer bytes left than asked for
  EXPECT_EQ(5, bytes);
  EXPECT_EQ(0, std::memcmp(buffer, "world", 5));
  EXPECT_EQ(kOk, Read(id, 11, 0, 4));
  EXPECT_EQ(0, bytes);
  EXPECT_EQ(kErrReadBeyondEof, Read(id, 12, 0, 4));
  EXPECT_EQ(kErrInvalidParameter, Read(id, -1, 0, 4));
  EXPECT_EQ(kErrInvalidParameter, Read(id, 0, 10, 8));  // Index + Count past the buffer
  EXPECT_EQ(descriptors + 1, OpenDescriptors());        // one handle, kept for later reads

  // The file goes with the task record, not before.
  Task* task = nullptr;
  ASSERT_EQ(kOk, engine().tasks.FindTask(id, false, &task));
  engine().tasks.RemoveTask(task, id, true);
  EXPECT_EQ(descriptors, OpenDescriptors());
}

TEST_F(LocalFileDataTest, CountZeroMissingPathAndUnreadableFile) {
  EXPECT_EQ(kOk, Read(987654, 0, 0, 0));  // no task is looked at
  EXPECT_EQ(0, bytes);
  EXPECT_EQ(kErrInvalidOpId, Read(987654, 0, 0, 1));
  EXPECT_EQ(kErrReadBeyondEof, Read(NewTask(""), 0, 0, 1));
  const int64_t missing = NewTask("absent.bin");
  EXPECT_EQ(kErrLocalDataFailed, Read(missing, 0, 0, 1));
  EXPECT_EQ(kErrLocalDataFailed, engine().diag.LastErrorCode());
  // A failed read gives the lookup's reference back.
  Task* task = nullptr;
  ASSERT_EQ(kOk, engine().tasks.FindTask(missing, false, &task));
  EXPECT_EQ(2u, task->RefCount);
  engine().tasks.ReleaseTask(task);
  engine().state.active.store(0);
  EXPECT_EQ(kErrNotReady, Read(missing, 0, 0, 1));
}

}  // namespace
}  // namespace corvane
