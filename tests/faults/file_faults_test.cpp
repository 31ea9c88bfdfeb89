// Files that other applications hold, lock, delete, rename or overwrite
// while the host is still sending their data.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "faults/faults_fixture.h"

namespace corvane::faults {
namespace {

// The host stalls on the first request until the test lets it go on.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, 10s, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class FileFaults : public FaultsTest {
 protected:
  // Starts a read of `name` whose first request waits at the gate after
  // sending the first chunk; returns when the host holds that request.
  std::future<uint32_t> StallRead(const std::string& name, Gate& gate, std::atomic<int32_t>& rest) {
    host_->on_fetch = [&gate, &rest](FaultHost& host, const Request& r, int32_t&) {
      const std::string bytes = host.Remote(r.path.substr(1)).substr(r.offset, r.length);
      const size_t first = std::min<size_t>(409600, bytes.size());
      int32_t rc = host.Put(r.task_id, bytes.data(), first);
      gate.Wait();
      if (rc == 0 && bytes.size() > first) rc = host.Put(r.task_id, bytes.data() + first, bytes.size() - first);
      if (rc == 0) rc = host.Finalize(r.task_id, 0);
      rest = rc;
      return 0;
    };
    const size_t asked = host_->Events(HALVEX_EVENT_GET_FILE_DATA).size();
    auto read = ReadAsync(name);
    EXPECT_TRUE(host_->WaitFor(HALVEX_EVENT_GET_FILE_DATA, asked + 1));
    std::this_thread::sleep_for(50ms);  // the first chunk is on its way
    return read;
  }
};

// Deleted or renamed under a running transfer: the read and the host's
// remaining calls end with a code, no placeholder is resurrected, and the
// library holds no task for it afterwards.
TEST_F(FileFaults, DeletedOrRenamedWhileHydrating) {
  Start();
  for (bool rename : {false, true}) {
    SCOPED_TRACE(rename ? "renamed" : "deleted");
    const std::string name = rename ? "moving.bin" : "doomed.bin";
    AddFile(name, 3 * 409600, rename ? 11 : 12);
    Gate gate;
    std::atomic<int32_t> rest{-1};
    auto read = StallRead(name, gate, rest);
    if (rename) {
      EXPECT_EQ(client_.Rename(name, "moved.bin", false), 0u);
    } else {
      EXPECT_EQ(client_.Delete(name, false), 0u);
    }
    gate.Open();
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    const uint32_t rc = read.get();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (rest == -1 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    EXPECT_NE(rest.load(), -1) << "the host's remaining calls never returned";
    EXPECT_FALSE(std::filesystem::exists(client_.Resolve(name))) << "the old name came back";
    if (rename) {
      // The reader opened the file before it moved; it reads on through the
      // move, and the moved file holds only the host's bytes.
      if (rc == 0) {
        std::string data;
        EXPECT_EQ(client_.ReadAll("moved.bin", data), 0u);
        EXPECT_TRUE(data == host_->Remote(name));
      }
      ItemState state;
      ASSERT_EQ(client_.State("moved.bin", state), 0u);
      const std::string remote = host_->Remote(name);
      for (const auto& range : state.hydrated) {
        std::string disk;
        ASSERT_EQ(client_.Read("moved.bin", range.StartingOffset, range.Length, disk), 0u);
        EXPECT_TRUE(disk == remote.substr(range.StartingOffset, range.Length));
      }
    }
    const auto idle = std::chrono::steady_clock::now() + 3s;
    while (host_->QueryNumber("PendingOperationCount") != 0 && std::chrono::steady_clock::now() < idle)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(host_->QueryNumber("PendingOperationCount"), 0) << "a task outlived its file";
  }
}

// Another application holds the file open, with an exclusive advisory lock,
// or writes into it while its data is still arriving: the transfer still
// ends, the local write is never overwritten by the host's older bytes, and
// the file never claims host data it did not get.
TEST_F(FileFaults, HeldLockedOrWrittenWhileHydrating) {
  Start();
  AddFile("held.bin", 3 * 409600, 13);
  const int fd = open(client_.Resolve("held.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::string data;
  EXPECT_EQ(client_.ReadAll("held.bin", data), 0u);
  EXPECT_TRUE(data == host_->Remote("held.bin"));
  flock(fd, LOCK_UN);
  close(fd);

  AddFile("written.bin", 3 * 409600, 14);
  Gate gate;
  std::atomic<int32_t> rest{-1};
  auto read = StallRead("written.bin", gate, rest);
  const std::string local(4096, 'L');
  // The write lands on the last page, which the host has not sent yet.
  auto write = std::async(std::launch::async, [&] { return client_.Write("written.bin", 2 * 409600, local); });
  std::this_thread::sleep_for(100ms);
  gate.Open();
  ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(write.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(write.get(), 0u);
  read.get();
  std::string after;
  ASSERT_EQ(client_.Read("written.bin", 2 * 409600, local.size(), after), 0u);
  EXPECT_TRUE(after == local) << "the host's older bytes replaced the application's write";
  std::string head;
  ASSERT_EQ(client_.Read("written.bin", 0, 409600, head), 0u);
  EXPECT_TRUE(head == host_->Remote("written.bin").substr(0, 409600));
}

}  // namespace
}  // namespace corvane::faults
