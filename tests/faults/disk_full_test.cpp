// The sync root's file system fills up during a transfer: the read fails
// with a code, and no file claims data that did not reach the disk.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "faults/faults_fixture.h"

namespace corvane::faults {
namespace {

class DiskFull : public FaultsTest {
 protected:
  void SetUp() override {
    FaultsTest::SetUp();
    // A 1 MiB tmpfs over the (empty) root; needs the right to mount.
    if (mount("tmpfs", space_.root().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a size-limited tmpfs here: " << strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    FaultsTest::TearDown();
    if (mounted_) umount2(space_.root().c_str(), MNT_DETACH);
  }
  bool mounted_ = false;
};

TEST_F(DiskFull, TransferIntoAFullFileSystemFailsWithoutFalseData) {
  Start();
  // Larger than the whole file system: placeholders are sparse, so it fits
  // until its data arrives.
  AddFile("huge.bin", 4 * 409600, 21);
  const auto start = std::chrono::steady_clock::now();
  std::string data;
  const uint32_t rc = client_.ReadAll("huge.bin", data);
  EXPECT_NE(rc, 0u) << "a read of more than the disk holds succeeded";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ExpectNoFalseData("huge.bin");
  ItemState state;
  ASSERT_EQ(client_.State("huge.bin", state), 0u);
  EXPECT_FALSE(state.FullyHydrated());
  ASSERT_TRUE(host_->WaitFor(HALVEX_EVENT_ERROR, 1, 5s)) << "the host was not told";
  EXPECT_EQ(host_->Events(HALVEX_EVENT_ERROR)[0].code, HALVEX_ERR_OS_CALL_FAILED);
  EXPECT_EQ(host_->QueryNumber("WindowsLastError"), static_cast<int64_t>(0x80070070)) << "disk full was not kept";

  // Bytes that never became data are no local change: the file keeps the
  // last-write time the host gave it (2022-06-18, below in Unix seconds).
  struct stat st;
  ASSERT_EQ(stat(client_.Resolve("huge.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1655526400) << "the failed transfer changed the last-write time";
  // Nor were the chunks that did land taken for one.
  std::this_thread::sleep_for(300ms);
  for (const SeenEvent& e : host_->Events(HALVEX_EVENT_UPDATE_FILE))
    EXPECT_NE(e.path, "\\huge.bin") << "hydration reported as a local change, flags 0x" << std::hex << e.flags;

  // Space given back: a smaller file hydrates fully and exactly.
  ASSERT_EQ(client_.Dehydrate("huge.bin"), 0u);
  AddFile("fits.bin", 409600 + 5, 22);
  ASSERT_EQ(client_.ReadAll("fits.bin", data), 0u);
  EXPECT_TRUE(data == host_->Remote("fits.bin"));

  // Full before the transfer starts: a local filler takes what is left.
  {
    std::ofstream filler(client_.Resolve("filler.tmp"), std::ios::binary);
    const std::string block(65536, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  AddFile("squeezed.bin", 409600, 23);
  EXPECT_NE(client_.ReadAll("squeezed.bin", data), 0u);
  ExpectNoFalseData("squeezed.bin");
  EXPECT_EQ(host_->QueryNumber("StatPendingTasks"), 0);
}

}  // namespace
}  // namespace corvane::faults
