// Programs that write straight to synced files with plain system calls,
// unseen by the platform until afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "provider_host.h"

namespace e2e {
namespace {

constexpr int32_t kNewContent = 0x40;

void WriteAt(const std::string& path, int flags, off_t offset, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | flags);
  ASSERT_GE(fd, 0) << path;
  const ssize_t n = flags & O_APPEND ? write(fd, text.data(), text.size()) : pwrite(fd, text.data(), text.size(), offset);
  EXPECT_EQ(n, static_cast<ssize_t>(text.size())) << path;
  close(fd);
}

// A whole file stays whole through appends, truncation and rewrites: the
// host gets new content and nothing is fetched over what the program wrote.
// In a partly present file the written bytes cannot be told from holes: it
// stays as it is, not in sync, and nothing is fetched into it.
TEST_F(ItemsTest, PlainWritesKeepWholeFilesWholeAndNeverFetchOverProgramData) {
  Provider& p = Start({{"\\a.txt", {false, "original\n"}},
                       {"\\t.txt", {false, "old text\n"}},
                       {"\\u.txt", {false, "untouched\n"}},
                       {"\\d.bin", {false, std::string(10000, 'r')}},
                       {"\\p.bin", {false, std::string(10000, 'p')}}});
  std::string data;
  for (const char* name : {"a.txt", "t.txt", "u.txt"}) ASSERT_EQ(client_->ReadAll(name, data), 0u) << name;
  // A write the platform sees into a partly present file: the update
  // cannot carry the content, so the host's answer leaves it not in sync.
  ASSERT_EQ(client_->Read("p.bin", 0, 100, data), 0u);
  ASSERT_EQ(client_->Write("p.bin", 9000, "mine"), 0u);
  Settle();

  WriteAt(root_ + "/a.txt", O_APPEND, 0, "more\n");
  ASSERT_EQ(truncate((root_ + "/t.txt").c_str(), 0), 0);
  WriteAt(root_ + "/t.txt", 0, 0, "a longer new text\n");
  ASSERT_EQ(utimensat(AT_FDCWD, (root_ + "/u.txt").c_str(), nullptr, 0), 0);
  WriteAt(root_ + "/u.txt", 0, 0, "touched, then written\n");
  WriteAt(root_ + "/d.bin", O_APPEND, 0, "tail");
  const std::map<std::string, std::string> expected = {
      {"a.txt", "original\nmore\n"}, {"t.txt", "a longer new text\n"}, {"u.txt", "touched, then written\n"}};
  for (const auto& [name, text] : expected) {
    const std::string path = "\\" + name;
    const int64_t size = static_cast<int64_t>(text.size());
    EXPECT_TRUE(p.WaitFor([&](const std::vector<Event>& all) {
      for (const Event& e : all)
        if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == path && (e.flags & kNewContent) && e.size == size) return true;
      return false;
    })) << name;
  }
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\d.bin"));
  Settle();
  for (const auto& [name, text] : expected) {
    EXPECT_TRUE(StateOf(name).FullyHydrated()) << name;
    ASSERT_EQ(client_->ReadAll(name, data), 0u) << name;
    EXPECT_EQ(data, text);
  }
  for (const Event& e : p.Events()) {
    EXPECT_FALSE(e.id == HALVEX_EVENT_GET_FILE_DATA && e.path != "\\a.txt" && e.path != "\\t.txt" &&
                 e.path != "\\u.txt" && e.path != "\\p.bin")
        << e.path;
    EXPECT_FALSE(e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\d.bin" && (e.flags & kNewContent));
  }
  EXPECT_EQ(p.Count(HALVEX_EVENT_GET_FILE_DATA) - p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\p.bin"), 3u);
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\p.bin"));
  EXPECT_FALSE(StateOf("p.bin").in_sync);

  // The host answered the partly present file's update, but holes are no
  // content: it stays not in sync, and a read fails rather than fetch.
  EXPECT_FALSE(StateOf("d.bin").in_sync);
  EXPECT_EQ(client_->Read("d.bin", 0, 100, data), corvane::platform::ERROR_CLOUD_FILE_NOT_IN_SYNC);
  EXPECT_EQ(p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\d.bin"), 0u);
  const int fd = open((root_ + "/d.bin").c_str(), O_RDONLY);
  char tail[4] = {};
  EXPECT_EQ(pread(fd, tail, 4, 10000), 4);
  close(fd);
  EXPECT_EQ(std::string(tail, 4), "tail");
}

}  // namespace
}  // namespace e2e
