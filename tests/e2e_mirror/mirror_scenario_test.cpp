// The demo's scenario, run against the built programs: a user on the sync
// root (corvane-client) while corvane-mirror serves a server folder into it.
// At the end the server folder and the sync root must agree byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "programs.h"

namespace fs = std::filesystem;

namespace {

std::string State(const std::string& path) { return Client({"state", path}).output; }
bool StateHas(const std::string& path, const std::string& text) {
  return State(path).find(text) != std::string::npos;
}

// Names in a client listing ("f 12\tplaceholder\tname" per line, folders end in '/').
std::set<std::string> Listed(const std::string& folder) {
  std::set<std::string> names;
  std::istringstream lines(Client({"list", folder}).output);
  for (std::string line; std::getline(lines, line);) {
    std::string name = line.substr(line.rfind('\t') + 1);
    if (!name.empty() && name.back() == '/') name.pop_back();
    names.insert(name);
  }
  return names;
}

std::set<std::string> OnDisk(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

bool ReadsAs(const std::string& local, const std::string& expected) {
  const RunResult r = Client({"read", local});
  return r.exit_code == 0 && r.output == expected;
}

// Lists every folder and reads every file through the client (so everything
// is populated and hydrated), then compares both trees on disk.
void ExpectSameTrees(const std::string& server, const std::string& root) {
  for (const auto& entry : fs::recursive_directory_iterator(server)) {
    const std::string rel = fs::relative(entry.path(), server).string();
    const std::string local = root + "/" + rel;
    if (entry.is_directory()) {
      EXPECT_EQ(Listed(local), OnDisk(entry.path().string())) << "folder " << rel;
    } else {
      EXPECT_TRUE(ReadsAs(local, ReadFile(entry.path().string()))) << "file " << rel;
    }
  }
  EXPECT_EQ(Listed(root), OnDisk(server));
  std::map<std::string, std::string> server_files, root_files;
  for (const auto& [top, files] : {std::pair{server, &server_files}, std::pair{root, &root_files}}) {
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
      const std::string rel = fs::relative(entry.path(), top).string();
      (*files)[rel] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    }
  }
  EXPECT_EQ(server_files.size(), root_files.size());
  for (const auto& [rel, bytes] : server_files) {
    auto it = root_files.find(rel);
    ASSERT_NE(it, root_files.end()) << rel << " is missing from the sync root";
    EXPECT_TRUE(it->second == bytes) << rel << " differs";
  }
}

std::string RandomBytes(size_t n) {
  std::mt19937 rng(7);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

TEST(MirrorScenario, DemoStepsEndWithServerAndRootEqualByteForByte) {
  World w;
  const std::string big = RandomBytes(3000000);
  fs::create_directories(w.server + "/docs");
  fs::create_directories(w.server + "/photos");
  WriteFile(w.server + "/readme.txt", "Welcome\n");
  WriteFile(w.server + "/docs/notes.md", "# Notes\n");
  WriteFile(w.server + "/docs/big.bin", big);
  WriteFile(w.server + "/docs/unread.txt", "never read\n");
  WriteFile(w.server + "/photos/cat.txt", "cat\n");

  MirrorProcess mirror(w.server, w.root, w.base + "/mirror.log");
  ASSERT_TRUE(mirror.WaitServing(20)) << mirror.Log();
  ASSERT_TRUE(StateHas(w.root, "sync root: " + w.root)) << State(w.root);

  // Populated on demand: nothing on disk until an application lists.
  EXPECT_TRUE(fs::is_empty(w.root));
  EXPECT_EQ(Listed(w.root), (std::set<std::string>{"docs", "photos", "readme.txt"}));
  EXPECT_EQ(Listed(w.root + "/docs"), (std::set<std::string>{"big.bin", "notes.md", "unread.txt"}));
  EXPECT_TRUE(StateHas(w.root + "/docs/big.bin", "hydrated: none"));

  // Hydration, in several PutItemData chunks.
  EXPECT_TRUE(ReadsAs(w.root + "/docs/big.bin", big));
  EXPECT_TRUE(StateHas(w.root + "/docs/big.bin", "(complete)"));

  // Local writes, a new folder, a move and a delete reach the server.
  ASSERT_EQ(Client({"create", w.root + "/hello.txt", "--data", "hello"}).exit_code, 0);
  ASSERT_EQ(Client({"write", w.root + "/readme.txt", "--data", "rewritten"}).exit_code, 0);
  ASSERT_EQ(Client({"mkdir", w.root + "/drafts"}).exit_code, 0);
  // Large enough for several GetLocalFileData reads.
  const std::string local_big = RandomBytes(1100000).substr(17);
  WriteFile(w.base + "/local.bin", local_big);
  ASSERT_EQ(Client({"create", w.root + "/local.bin"}, w.base + "/local.bin").exit_code, 0);
  EXPECT_TRUE(Eventually(15, [&] { return ReadFile(w.server + "/local.bin") == local_big; })) << mirror.Log();
  // Files written right after they were created: the library may take them
  // over half-way through the write; each must still arrive whole.
  for (int i = 0; i < 6; ++i) {
    const std::string name = "/burst" + std::to_string(i);
    WriteFile(w.base + name, local_big.substr(0, 300000 + i));
    ASSERT_EQ(Client({"create", w.root + "/drafts" + name}, w.base + name).exit_code, 0);
  }
  for (int i = 0; i < 6; ++i) {
    const std::string name = "/burst" + std::to_string(i);
    EXPECT_TRUE(Eventually(15, [&] { return ReadFile(w.server + "/drafts" + name) == ReadFile(w.base + name); }))
        << name << "\n" << mirror.Log();
  }
  EXPECT_TRUE(Eventually(15, [&] { return ReadFile(w.server + "/hello.txt") == "hello"; })) << mirror.Log();
  EXPECT_TRUE(Eventually(15, [&] { return ReadFile(w.server + "/readme.txt") == "rewritten"; })) << mirror.Log();
  EXPECT_TRUE(Eventually(15, [&] { return fs::is_directory(w.server + "/drafts"); })) << mirror.Log();
  EXPECT_EQ(Listed(w.root + "/photos"), (std::set<std::string>{"cat.txt"}));
  ASSERT_EQ(Client({"rename", w.root + "/hello.txt", w.root + "/drafts/hello.txt"}).exit_code, 0);
  ASSERT_EQ(Client({"delete", w.root + "/photos/cat.txt"}).exit_code, 0);
  EXPECT_TRUE(Eventually(15, [&] {
    return ReadFile(w.server + "/drafts/hello.txt") == "hello" && !Exists(w.server + "/hello.txt");
  })) << mirror.Log();
  EXPECT_TRUE(Eventually(15, [&] { return !Exists(w.server + "/photos/cat.txt"); })) << mirror.Log();

  // Server-side edits, additions and a folder rename reach the root.
  WriteFile(w.server + "/docs/notes.md", "# Notes\n- edited on the server, and longer\n");
  WriteFile(w.server + "/docs/news.txt", "news\n");
  fs::rename(w.server + "/photos", w.server + "/pictures");
  EXPECT_TRUE(Eventually(15, [&] { return Listed(w.root + "/docs").count("news.txt") == 1; })) << mirror.Log();
  EXPECT_TRUE(Eventually(15, [&] { return ReadsAs(w.root + "/docs/notes.md", ReadFile(w.server + "/docs/notes.md")); }))
      << mirror.Log();
  EXPECT_TRUE(Eventually(15, [&] { return fs::is_directory(w.root + "/pictures") && !Exists(w.root + "/photos"); }))
      << mirror.Log();
  fs::create_directories(w.server + "/pictures/2024");
  WriteFile(w.server + "/pictures/2024/sea.txt", "sea\n");
  EXPECT_TRUE(Eventually(15, [&] { return Exists(w.root + "/pictures/2024/sea.txt"); })) << mirror.Log();
  fs::remove_all(w.server + "/pictures");
  EXPECT_TRUE(Eventually(15, [&] { return !Exists(w.root + "/pictures"); })) << mirror.Log();

  // Pin fetches the data, unpin lets it go.
  ASSERT_EQ(Client({"pin", w.root + "/docs/unread.txt"}).exit_code, 0);
  EXPECT_TRUE(Eventually(15, [&] { return StateHas(w.root + "/docs/unread.txt", "(complete)"); }))
      << State(w.root + "/docs/unread.txt") << mirror.Log();
  ASSERT_EQ(Client({"unpin", w.root + "/docs/unread.txt"}).exit_code, 0);
  EXPECT_TRUE(Eventually(15, [&] { return StateHas(w.root + "/docs/unread.txt", "hydrated: none"); }))
      << State(w.root + "/docs/unread.txt") << mirror.Log();

  ExpectSameTrees(w.server, w.root);
  // Settled: nothing travels back and forth once both sides agree.
  const std::string settled = mirror.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(mirror.Log().size(), settled.size()) << mirror.Log().substr(settled.size());

  // Ctrl-C deactivates and keeps the registration; uninstall removes it.
  EXPECT_EQ(mirror.Interrupt(), 0) << mirror.Log();
  EXPECT_TRUE(StateHas(w.root, "sync root: " + w.root));
  const RunResult uninstall = ::Run({MIRROR_BIN, "uninstall", "--root", w.root});
  EXPECT_EQ(uninstall.exit_code, 0) << uninstall.output;
  EXPECT_TRUE(StateHas(w.root, "sync root: (none)")) << State(w.root);
  EXPECT_EQ(ReadFile(w.root + "/docs/big.bin"), big);
}

TEST(MirrorScenario, ReadOfAFileTheServerLostFailsAtOnceAndOtherFilesStillRead) {
  World w;
  WriteFile(w.server + "/lost.txt", "soon gone");
  WriteFile(w.server + "/kept.txt", "still here");
  // No server scans during the test: the placeholder outlives the server file.
  MirrorProcess mirror(w.server, w.root, w.base + "/mirror.log", 600000);
  ASSERT_TRUE(mirror.WaitServing(20)) << mirror.Log();
  ASSERT_EQ(Listed(w.root), (std::set<std::string>{"kept.txt", "lost.txt"}));
  fs::remove(w.server + "/lost.txt");

  const auto start = std::chrono::steady_clock::now();
  const RunResult lost = Client({"read", w.root + "/lost.txt"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_NE(lost.exit_code, 0) << lost.output;
  // Well below the applications' 15-second wait for the provider.
  EXPECT_LT(waited, std::chrono::seconds(5)) << lost.output;
  EXPECT_TRUE(StateHas(w.root + "/lost.txt", "hydrated: none"));
  EXPECT_TRUE(ReadsAs(w.root + "/kept.txt", "still here")) << mirror.Log();
  EXPECT_EQ(mirror.Interrupt(), 0) << mirror.Log();
}

}  // namespace
