// Method paths that lead through links out of the root, and methods that
// race the provider's deactivation.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "provider_host.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

// $ROOT/link -> outside folder, $ROOT/docs/flink -> outside file; every
// method that takes a path is called through them and must refuse, leaving
// the outside tree exactly as it was.
class LinkTest : public ItemsTest {
 protected:
  void SetUp() override {
    ItemsTest::SetUp();
    outside_ = base_ + "/outside";
    fs::create_directories(outside_ + "/sub");
    std::ofstream(outside_ + "/victim.txt") << "outside data";
    std::ofstream(outside_ + "/sub/x.txt") << "x";
    fs::create_directory_symlink(outside_, root_ + "/link");
  }
  Provider& StartWithDocs() {
    Provider& p = Start({{"\\docs", {true, ""}}, {"\\docs\\a.txt", {false, "alpha"}}});
    std::vector<corvane::platform::local::ClientEntry> entries;
    EXPECT_EQ(client_->List("docs", entries), 0u);
    fs::create_symlink(outside_ + "/victim.txt", root_ + "/docs/flink");
    return p;
  }
  void ExpectRefused(Provider& p, int32_t rc, const std::string& what) {
    EXPECT_EQ(rc, HALVEX_ERR_INVALID_PARAMETER) << what;
    EXPECT_NE(p.LastError().find("link"), std::string::npos) << what << ": " << p.LastError();
  }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(Slurp(outside_ + "/victim.txt"), "outside data");
    EXPECT_EQ(Slurp(outside_ + "/sub/x.txt"), "x");
    struct stat st {};
    ASSERT_EQ(stat((outside_ + "/victim.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u) << "made read-only";
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(outside_); it != fs::recursive_directory_iterator(); ++it) ++count;
    EXPECT_EQ(count, 3u) << "items appeared or went outside";
    char names[4096] = {};
    const ssize_t length = listxattr((outside_ + "/victim.txt").c_str(), names, sizeof names);
    EXPECT_EQ(std::string(names, length > 0 ? length : 0).find("corvane"), std::string::npos) << "cloud state set";
  }
  std::string outside_;
};

TEST_F(LinkTest, DeletesAndRenamesNeverPassThroughLinks) {
  Provider& p = StartWithDocs();
  ExpectRefused(p, p.Call(HALVEX_METHOD_DELETE_FILE, "\\link\\victim.txt"), "DeleteFile");
  ExpectRefused(p, p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\link\\sub", 1), "DeleteFolder");
  ExpectRefused(p, p.Call(HALVEX_METHOD_DELETE_FOLDER, "link", 1), "DeleteFolder of the link");
  ExpectRefused(p, p.Rename(HALVEX_METHOD_RENAME_FILE, "\\link\\victim.txt", "\\docs\\in.txt"), "pull in");
  ExpectRefused(p, p.Rename(HALVEX_METHOD_RENAME_FILE, "\\docs\\a.txt", "\\link\\a.txt"), "move out");
  ExpectRefused(p, p.Rename(HALVEX_METHOD_RENAME_FILE, "\\docs\\a.txt", "\\docs\\flink", 1), "over a link");
  ExpectRefused(p, p.Rename(HALVEX_METHOD_RENAME_FOLDER, "\\link\\sub", "\\sub"), "RenameFolder in");
  ExpectRefused(p, p.Rename(HALVEX_METHOD_RENAME_FOLDER, "\\docs", "\\link\\docs"), "RenameFolder out");
  ExpectOutsideUntouched();
  EXPECT_TRUE(Exists("docs/a.txt"));
  EXPECT_FALSE(Exists("docs/in.txt") || Exists("sub"));
  // A path that only looks like the link's is served as before.
  EXPECT_EQ(p.Rename(HALVEX_METHOD_RENAME_FILE, "\\docs\\a.txt", "\\docs\\linked.txt"), 0) << p.LastError();
}

TEST_F(LinkTest, CreatesUpdatesAndStatesNeverPassThroughLinks) {
  Provider& p = StartWithDocs();
  int64_t size = 3, t = kFileTime;
  auto with_times = [&](int32_t method, const std::string& path, bool sized) {
    std::vector<intptr_t> slots = {reinterpret_cast<intptr_t>(path.c_str()), 0};
    if (sized) slots.push_back(reinterpret_cast<intptr_t>(&size));
    for (int i = 0; i < 3; ++i) slots.push_back(reinterpret_cast<intptr_t>(&t));
    return p.Method(method, slots);
  };
  ExpectRefused(p, with_times(HALVEX_METHOD_CREATE_FILE, "\\link\\new.txt", true), "CreateFile");
  ExpectRefused(p, with_times(HALVEX_METHOD_CREATE_FOLDER, "\\link\\made", false), "CreateFolder");
  ExpectRefused(p, with_times(HALVEX_METHOD_UPDATE_FILE, "\\link\\victim.txt", true), "UpdateFile");
  ExpectRefused(p, with_times(HALVEX_METHOD_UPDATE_FILE, "\\docs\\flink", true), "UpdateFile of a link");
  ExpectRefused(p, with_times(HALVEX_METHOD_UPDATE_FOLDER, "\\link\\sub", false), "UpdateFolder");
  for (const char* path : {"\\link\\victim.txt", "\\docs\\flink"}) {
    ExpectRefused(p, p.Call(HALVEX_METHOD_SET_FILE_ATTRIBUTES, path, HALVEX_ATTR_READONLY), path);
    for (int32_t method : {HALVEX_METHOD_RESET_FILE, HALVEX_METHOD_PIN_FILE, HALVEX_METHOD_UNPIN_FILE,
                           HALVEX_METHOD_SYNC_FILE}) {
      ExpectRefused(p, p.Call(method, path), path + std::to_string(method));
    }
    int32_t rc = 0;
    p.Query(HALVEX_METHOD_GET_FILE_STATUS, path, &rc);
    ExpectRefused(p, rc, path);
  }
  for (int32_t method : {HALVEX_METHOD_PIN_FOLDER, HALVEX_METHOD_RESET_FOLDER}) {
    ExpectRefused(p, p.Call(method, "\\link\\sub"), std::to_string(method));
  }
  ExpectRefused(p, p.Call(HALVEX_METHOD_SET_FOLDER_ATTRIBUTES, "\\link", HALVEX_ATTR_READONLY), "folder attrs");
  ExpectOutsideUntouched();
}

// Host threads keep calling methods while Deactivate runs: every call ends
// with a code, none touches what the deactivation freed, and once it has
// returned every call answers 21.
TEST_F(ItemsTest, MethodsRacingDeactivateEndWithACode) {
  Provider& p = Start({{"\\docs", {true, ""}}, {"\\docs\\a.txt", {false, "alpha"}}});
  std::vector<corvane::platform::local::ClientEntry> entries;
  ASSERT_EQ(client_->List("docs", entries), 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int round = 0; round < 12 && std::chrono::steady_clock::now() < deadline; ++round) {
    if (round > 0) {
      ASSERT_EQ(p.Activate(), 0) << p.LastError();
    }
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> late_not_21{0};
    std::vector<std::thread> threads;
    for (int kind = 0; kind < 4; ++kind) {
      threads.emplace_back([&, kind, round] {
        int64_t size = 5, t = kFileTime, handle = 7;
        const std::string name = "r" + std::to_string(round) + "-" + std::to_string(kind) + ".txt";
        const std::string path = "\\docs\\" + name;
        for (int i = 0;; ++i) {
          const bool after = stopped.load();
          int32_t rc = 0;
          std::vector<intptr_t> slots;
          if (kind == 0) {  // a listing handle that is not known
            slots = {reinterpret_cast<intptr_t>(&handle), reinterpret_cast<intptr_t>(name.c_str()), 0,
                     reinterpret_cast<intptr_t>(&size), reinterpret_cast<intptr_t>(&t),
                     reinterpret_cast<intptr_t>(&t), reinterpret_cast<intptr_t>(&t)};
            rc = p.Method(HALVEX_METHOD_LIST_FILE, slots);
          } else if (kind == 1) {
            rc = p.CreateFile(path + std::to_string(i % 8), "12345");
          } else if (kind == 2) {
            p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\docs\\a.txt", &rc);
          } else {
            slots = {reinterpret_cast<intptr_t>("\\docs\\a.txt"), 0, reinterpret_cast<intptr_t>(&size),
                     reinterpret_cast<intptr_t>(&t), reinterpret_cast<intptr_t>(&t), reinterpret_cast<intptr_t>(&t)};
            rc = p.Method(HALVEX_METHOD_UPDATE_FILE, slots);
          }
          ++calls;
          if (after) {
            late_not_21 += rc != 21;
            break;
          }
        }
      });
    }
    while (calls.load() < 8) std::this_thread::yield();
    EXPECT_EQ(p.Deactivate(), 0) << p.LastError();
    stopped = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(late_not_21.load(), 0) << "round " << round;
  }
}

}  // namespace
}  // namespace e2e
