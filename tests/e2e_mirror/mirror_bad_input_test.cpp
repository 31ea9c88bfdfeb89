// Bad input to the mirror gets a clear message and exit code, and leaves no
// sync root registered behind it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "programs.h"

namespace fs = std::filesystem;

namespace {

RunResult Mirror(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {MIRROR_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

bool Registered(const std::string& root) {
  return Client({"state", root}).output.find("sync root: " + root) != std::string::npos;
}

TEST(MirrorBadInput, BadArgumentsAndFoldersAreRefusedBeforeAnythingIsRegistered) {
  World w;
  WriteFile(w.base + "/plain-file", "x");
  std::filesystem::create_directories(w.root + "/inner");
  std::filesystem::create_directories(w.server + "/inner");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "--root is required"},
      {{"--root", w.root}, "--server is required"},
      {{"--server", w.server, "--root", w.root, "--poll-ms", "soon"}, "--poll-ms: Value soon"},
      {{"--root", w.root, "--log-level", "1000000"}, "--log-level: Value 1000000 not in range 0 to 4"},
      {{"--server", w.server, "--root", w.root, "--bogus"}, "not expected: --bogus"},
      {{"uninstall", "--root", w.root, "--server", w.server}, "not expected"},
      {{"--server", w.base + "/missing", "--root", w.root}, "server folder '" + w.base + "/missing' does not exist"},
      {{"--server", w.server, "--root", w.base + "/missing"}, "sync root '" + w.base + "/missing' does not exist"},
      {{"--server", w.server, "--root", w.base + "/plain-file"}, "is not a folder"},
      {{"--server", w.root + "/inner", "--root", w.root}, "lies inside the sync root"},
      {{"--server", w.server, "--root", w.server + "/inner"}, "lies inside the server folder"},
      // The same folder reached through another spelling.
      {{"--server", w.server, "--root", w.base + "/./server/"}, "are the same folder"},
      {{"uninstall", "--root", w.base + "/missing"}, "does not exist"},
  };
  for (const Case& c : cases) {
    const RunResult r = Mirror(c.args);
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << "expected '" << c.message << "' in: " << r.output;
  }
  EXPECT_FALSE(Registered(w.root));
  EXPECT_FALSE(Registered(w.server));
  EXPECT_TRUE(std::filesystem::is_empty(w.root + "/inner"));
}

TEST(MirrorBadInput, SecondMirrorOnTheSameRootIsRefusedAndTheFirstKeepsServing) {
  World w;
  WriteFile(w.server + "/a.txt", "served by the first mirror");
  std::filesystem::create_directories(w.base + "/other-server");
  MirrorProcess first(w.server, w.root, w.base + "/first.log");
  ASSERT_TRUE(first.WaitServing(20)) << first.Log();

  const RunResult second = Mirror({"--server", w.base + "/other-server", "--root", w.root});
  EXPECT_EQ(second.exit_code, 3) << second.output;
  EXPECT_NE(second.output.find("already serves the sync root"), std::string::npos) << second.output;
  // A provider that does not share the mirror's claim (another lock folder)
  // gets as far as the library, which refuses the second connection; the
  // first provider's registration must survive that.
  fs::create_directories(w.base + "/other-locks");
  const char* runtime_dir = getenv("XDG_RUNTIME_DIR");
  const std::string saved = runtime_dir ? runtime_dir : "";
  setenv("XDG_RUNTIME_DIR", (w.base + "/other-locks").c_str(), 1);
  const RunResult foreign = Mirror({"--server", w.base + "/other-server", "--root", w.root});
  if (runtime_dir) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(foreign.exit_code, 1) << foreign.output;
  EXPECT_NE(foreign.output.find("cannot activate the provider"), std::string::npos) << foreign.output;
  // Uninstalling under a running mirror is refused the same way.
  const RunResult uninstall = Mirror({"uninstall", "--root", w.root});
  EXPECT_EQ(uninstall.exit_code, 3) << uninstall.output;

  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(Registered(w.root));
  EXPECT_EQ(Client({"list", w.root}).exit_code, 0);
  const RunResult read = Client({"read", w.root + "/a.txt"});
  EXPECT_EQ(read.exit_code, 0) << read.output;
  EXPECT_EQ(read.output, "served by the first mirror");
  EXPECT_EQ(first.Interrupt(), 0) << first.Log();
}

}  // namespace
