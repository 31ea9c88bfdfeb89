// Ordinary programs and plain system calls on a sync root mounted with
// corvane-cloudfs: the mount keeps the platform's promises for all of them.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/test_process.h"
#include "e2e_items/provider_host.h"
#include "platform/local/sync_roots.h"

namespace e2e {
namespace {

using corvane::test_common::RemoteBytes;
constexpr int32_t kNewContent = 0x40;

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string StateOf(const std::string& path) {
  char value[256];
  const ssize_t n = getxattr(path.c_str(), "user.corvane.state", value, sizeof value);
  return n < 0 ? "error " + std::to_string(errno) : std::string(value, static_cast<size_t>(n));
}

class CloudFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse: the mount cannot be tried here";
    space_ = std::make_unique<corvane::test_common::TempSpace>();
    root_ = space_->root();
  }
  void TearDown() override {
    Unmount();
    unsetenv("CORVANE_CLOUDFS");
    provider_.reset();
    space_.reset();
  }

  // A provider whose host keeps what the user wrote as its new content,
  // registered, then its root mounted at its own path, then connected.
  Provider& Start(std::map<std::string, RemoteItem> remote) {
    provider_ = std::make_unique<Provider>();
    Provider& p = *provider_;
    p.remote = std::move(remote);
    auto inner = p.answer;
    p.answer = [&p, inner](Event& e, intptr_t* params, int32_t* sizes) {
      if (e.id == HALVEX_EVENT_GET_FILE_DATA && e.path == "\\never.bin") {
        params[e.count - 1] = HALVEX_ERR_PENDING;  // and never served
        return 0;
      }
      if (e.id == HALVEX_EVENT_CREATE_FILE || (e.id == HALVEX_EVENT_UPDATE_FILE && (e.flags & kNewContent)))
        p.SetRemote(e.path, {false, LocalData(p, e.task_id)});
      if (e.id == HALVEX_EVENT_DELETE_FILE) {
        std::lock_guard<std::mutex> lock(p.mutex());
        p.remote.erase(e.path);
      }
      return inner(e, params, sizes);
    };
    p.Config("WaitForInstallToComplete=0");
    p.Config("WindowsCreatePlaceholdersOnDemand=true");  // folders are listed when programs look
    if (online_only_) p.Config("OnlineOnly=true");  // the provider asks for opens and closes
    EXPECT_EQ(p.SetRoot(root_), 0);
    // Started on demand, by the registration itself, or by the test.
    if (on_demand_) setenv("CORVANE_CLOUDFS", CORVANE_CLOUDFS, 1);
    EXPECT_EQ(p.Install(), 0) << p.LastError();
    if (on_demand_) EXPECT_TRUE(Mounted()) << "registering did not mount the root";
    else Mount();
    if (!IsSkipped() && !HasFatalFailure()) {
      EXPECT_EQ(p.Activate(), 0) << p.LastError();
    }
    return p;
  }
  static std::string LocalData(Provider& p, int64_t task) {
    std::string bytes, buffer(65536, '\0');
    for (int64_t position = 0;;) {
      int64_t t = task, pos = position;
      std::vector<intptr_t> slots = {corvane::test_common::Ptr(&t), corvane::test_common::Ptr(&pos),
                                     corvane::test_common::Ptr(buffer.data()), 0,
                                     static_cast<intptr_t>(buffer.size()), 0};
      std::vector<int32_t> sizes = {0, 0, static_cast<int32_t>(buffer.size()), 0, 0, 0};
      if (p.Do(HALVEX_METHOD_GET_LOCAL_FILE_DATA, slots, &sizes) != 0 || slots[5] <= 0) return bytes;
      bytes.append(buffer.data(), static_cast<size_t>(slots[5]));
      position += slots[5];
    }
  }
  std::string Remote(const std::string& path) {
    std::lock_guard<std::mutex> lock(provider_->mutex());
    const auto it = provider_->remote.find(path);
    return it == provider_->remote.end() ? "(none)" : it->second.data;
  }
  bool HostHas(const std::string& path, const std::string& data) {
    return provider_->WaitUntil([&] { return Remote(path) == data; });
  }

  // statfs: stat() may answer from the kernel's cache of a dead mount.
  bool Mounted() {
    struct statvfs fs;
    struct stat a, b;
    return statvfs(root_.c_str(), &fs) == 0 && stat(root_.c_str(), &a) == 0 && stat(space_->base().c_str(), &b) == 0 && a.st_dev != b.st_dev;
  }
  // The tool as a child process, in the foreground, serving the root at
  // its own path; skips where mounting is not permitted.
  void Mount() {
    const std::string log = space_->base() + "/cloudfs.log";
    tool_ = fork();
    ASSERT_GE(tool_, 0);
    if (tool_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test leaves no mount behind
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
      execl(CORVANE_CLOUDFS, CORVANE_CLOUDFS, "mount-root", root_.c_str(), nullptr);
      _exit(127);
    }
    int status = 0;
    const bool up = provider_->WaitUntil([&] {
      if (tool_ > 0 && waitpid(tool_, &status, WNOHANG) == tool_) tool_ = -1;
      return tool_ < 0 || Mounted();
    });
    if (tool_ < 0) {
      const std::string why = FileText(log);
      if (why.find("ermission") != std::string::npos || why.find("not permitted") != std::string::npos)
        GTEST_SKIP() << "mounting is not permitted here: " << why;
      FAIL() << "corvane-cloudfs exited: " << why;
    }
    ASSERT_TRUE(up) << "the mount did not appear";
  }
  // Through the tool's own command; `restore` moves the items back.
  void Unmount(bool restore = false) {
    struct statvfs fs;
    const bool dead = statvfs(root_.c_str(), &fs) != 0 && errno == ENOTCONN;
    if (Mounted() || dead) {
      const std::string tool = std::string(CORVANE_CLOUDFS) + " unmount " + (restore ? "--restore " : "") + root_;
      // Lazily when busy: a mount left behind would break every later test.
      if (system(tool.c_str()) != 0) system(("fusermount3 -u -z " + root_ + " 2>/dev/null").c_str());
    }
    if (tool_ <= 0) return;  // none, or a daemon: not this process's child
    int status = 0;
    const bool gone = provider_->WaitUntil([&] { return waitpid(tool_, &status, WNOHANG) == tool_; });
    if (!gone) {
      kill(tool_, SIGKILL);
      waitpid(tool_, &status, 0);
    }
    EXPECT_TRUE(gone && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "corvane-cloudfs did not end cleanly";
    tool_ = -1;
  }
  std::string M(const std::string& name) { return root_ + "/" + name; }

  std::unique_ptr<corvane::test_common::TempSpace> space_;
  std::string root_;
  std::unique_ptr<Provider> provider_;
  pid_t tool_ = -1;
  bool on_demand_ = false;
  bool online_only_ = false;
};

// Listing populates (through ls, and through a name looked up in a folder
// never listed); reading hydrates byte for byte; getfattr-style state shows it.
TEST_F(CloudFsTest, ProgramsListAndReadTheCloudThroughTheMount) {
  const std::string small = RemoteBytes(100000, 1), big = RemoteBytes(3 * 1024 * 1024 + 123, 2);
  Provider& p = Start({{"\\a.txt", {false, "hello\n"}},
                       {"\\docs", {true, ""}},
                       {"\\docs\\b.bin", {false, small}},
                       {"\\docs\\deep", {true, ""}},
                       {"\\docs\\deep\\c.txt", {false, "deep\n"}},
                       {"\\big.bin", {false, big}}});
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_EQ(StateOf(root_), "in-sync=yes pin=unspecified populated=no");
  EXPECT_EQ(Output("ls " + root_), "a.txt\nbig.bin\ndocs\n");
  struct stat st;
  ASSERT_EQ(stat(M("docs/deep/c.txt").c_str(), &st), 0) << errno;
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(p.Count(HALVEX_EVENT_LIST_DIRECTORY, "\\docs\\deep"), 1u);
  EXPECT_EQ(Output("ls " + M("docs")), "b.bin\ndeep\n");
  ASSERT_EQ(stat(M("docs/b.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 100000);  // dehydrated, at its full size
  EXPECT_EQ(StateOf(M("docs/b.bin")), "in-sync=yes pin=unspecified data=dehydrated");
  EXPECT_EQ(StateOf(M("docs")), "in-sync=yes pin=unspecified populated=yes");
  EXPECT_EQ(p.Count(HALVEX_EVENT_GET_FILE_DATA), 0u);

  EXPECT_TRUE(Output("cat " + M("docs/b.bin")) == small);
  EXPECT_EQ(StateOf(M("docs/b.bin")), "in-sync=yes pin=unspecified data=hydrated");
  ASSERT_EQ(system(("cp " + M("big.bin") + " " + space_->outside() + "/big.copy").c_str()), 0);
  EXPECT_TRUE(FileText(space_->outside() + "/big.copy") == big);
  EXPECT_EQ(p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\big.bin"), 1u);  // not one per kernel request
  EXPECT_EQ(FileText(M("a.txt")), "hello\n");
  // A new version of the same size: what the kernel kept of the old one is
  // not served for it.
  ASSERT_EQ(p.UpdateFile("\\a.txt", "HELLO\n"), 0) << p.LastError();
  EXPECT_EQ(FileText(M("a.txt")), "HELLO\n");
  // What the kernel keeps of statuses and listings goes as soon as the
  // platform changes an item behind the mount, not after a while.
  ASSERT_EQ(stat(M("a.txt").c_str(), &st), 0);
  ASSERT_EQ(Output("ls " + M("docs")), "b.bin\ndeep\n");
  ASSERT_EQ(p.UpdateFile("\\a.txt", "a longer version\n"), 0) << p.LastError();
  ASSERT_EQ(p.CreateFile("\\docs\\new.txt", "new\n"), 0) << p.LastError();
  const auto soon = std::chrono::milliseconds(700);  // the kernel kept them a second before
  EXPECT_TRUE(p.WaitUntil([&] { return stat(M("a.txt").c_str(), &st) == 0 && st.st_size == 17; }, soon));
  EXPECT_TRUE(p.WaitUntil([&] { return Output("ls " + M("docs")) == "b.bin\ndeep\nnew.txt\n"; }, soon));
  EXPECT_EQ(FileText(M("a.txt")), "a longer version\n");
  EXPECT_EQ(getxattr(M("a.txt").c_str(), "user.corvane.ranges", nullptr, 0), -1);  // the store stays inside
  EXPECT_EQ(setxattr(M("a.txt").c_str(), "user.corvane.state", "x", 1, 0), -1);
  // The platform's own writes (the hydrations) are not the user's: the
  // host hears of the one file made here and of nothing else.
  ASSERT_EQ(system(("sh -c 'printf z > " + M("z.txt") + "'").c_str()), 0);
  EXPECT_TRUE(HostHas("\\z.txt", "z"));
  size_t updates = 0;
  for (const Event& e : p.Events()) updates += e.id == HALVEX_EVENT_UPDATE_FILE && e.path != "\\z.txt";
  EXPECT_EQ(updates, 0u);
  EXPECT_EQ(p.Count(HALVEX_EVENT_CREATE_FILE), 1u);
}

// A reader that gives up waiting cancels its request; without a provider
// a read fails with EIO and hands out no bytes; once the provider is back
// the same read gets the real data. A dead mount is mounted again, and an
// unmount on request leaves a plain folder with every state.
TEST_F(CloudFsTest, ReadsWithoutTheProviderFailWithEioNotZeros) {
  const std::string data = RemoteBytes(100000, 3);
  Provider& p = Start({{"\\c.bin", {false, data}}, {"\\never.bin", {false, "x"}}});
  if (IsSkipped() || HasFatalFailure()) return;
  const pid_t reader = fork();
  if (reader == 0) {
    execlp("cat", "cat", M("never.bin").c_str(), nullptr);
    _exit(127);
  }
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_GET_FILE_DATA, "\\never.bin"));
  kill(reader, SIGKILL);
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CANCEL_TASK, "\\never.bin"));  // well before the time limit
  waitpid(reader, nullptr, 0);
  struct stat st;
  ASSERT_EQ(stat(M("c.bin").c_str(), &st), 0);
  std::string buffer;
  ASSERT_EQ(corvane::platform::local::Client(root_).Read("c.bin", 0, 4096, buffer), 0u);
  ASSERT_EQ(p.Deactivate(), 0);
  const int fd = open(M("c.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << errno;
  buffer.assign(4096, 'u');
  EXPECT_EQ(pread(fd, buffer.data(), 4096, 0), 4096) << errno;  // what is there needs no provider
  EXPECT_TRUE(buffer == data.substr(0, 4096));
  buffer.assign(65536, 'u');
  EXPECT_EQ(pread(fd, buffer.data(), buffer.size(), 8192), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(buffer, std::string(65536, 'u'));
  EXPECT_NE(system(("cat " + M("c.bin") + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(StateOf(M("c.bin")), "in-sync=yes pin=unspecified data=partial");

  ASSERT_EQ(p.Activate(), 0) << p.LastError();
  ASSERT_EQ(pread(fd, buffer.data(), buffer.size(), 8192), 65536) << errno;
  EXPECT_TRUE(buffer == data.substr(8192, 65536));
  close(fd);
  EXPECT_TRUE(FileText(M("c.bin")) == data);

  // A mount whose process died: programs get ENOTCONN, the platform keeps
  // its items, and the next serve takes the dead mount away and mounts
  // the root again.
  kill(tool_, SIGKILL);
  waitpid(tool_, nullptr, 0);
  tool_ = -1;
  struct statvfs fs;
  EXPECT_EQ(statvfs(root_.c_str(), &fs), -1);
  EXPECT_EQ(errno, ENOTCONN);
  corvane::platform::local::ItemState state;
  ASSERT_EQ(corvane::platform::local::Client(root_).State("c.bin", state), 0u);
  EXPECT_TRUE(state.FullyHydrated() && state.in_sync);
  EXPECT_EQ(Output(std::string(CORVANE_CLOUDFS) + " serve"), root_ + ": mounted\n");
  ASSERT_TRUE(Mounted());
  EXPECT_TRUE(FileText(M("c.bin")) == data);
  EXPECT_EQ(StateOf(M("never.bin")), "in-sync=yes pin=unspecified data=dehydrated");
  // Asked to, unmount gives the root its items back as a plain folder,
  // states and all.
  Unmount(true);
  EXPECT_FALSE(std::filesystem::exists(corvane::platform::local::BackingFolderOf(root_)));
  EXPECT_TRUE(FileText(M("c.bin")) == data);
  ASSERT_EQ(corvane::platform::local::Client(root_).State("never.bin", state), 0u);
  EXPECT_TRUE(state.placeholder && state.hydrated.empty() && state.size == 1);

  // Where the mount cannot be had, the root stays a plain folder, and the
  // process says so once.
  setenv("CORVANE_CLOUDFS", "/nonexistent/corvane-cloudfs", 1);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(p.Deactivate(), 0);
    ASSERT_EQ(p.Activate(), 0) << p.LastError();
  }
  const std::string said = testing::internal::GetCapturedStderr();
  const size_t at = said.find("the cloud-files mount is not available");
  EXPECT_NE(at, std::string::npos) << said;
  EXPECT_EQ(said.find("the cloud-files mount is not available", at + 1), std::string::npos) << said;
  EXPECT_FALSE(Mounted());
  EXPECT_TRUE(FileText(M("c.bin")) == data);
  // Nor is a root moved from under a provider that is watching it.
  EXPECT_NE(system((std::string(CORVANE_CLOUDFS) + " mount-root -d " + root_ + " 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(Mounted());
  EXPECT_TRUE(FileText(M("c.bin")) == data);
  // Once it has stopped, the root moves behind a mount, and this process
  // follows its items there at once.
  ASSERT_EQ(p.Deactivate(), 0);
  ASSERT_EQ(system((std::string(CORVANE_CLOUDFS) + " mount-root -d " + root_).c_str()), 0);
  ASSERT_TRUE(Mounted());
  ASSERT_EQ(corvane::platform::local::Client(root_).State("c.bin", state), 0u);
  EXPECT_TRUE(state.placeholder && state.FullyHydrated() && state.in_sync);
}

// A provider that asked for opens and closes hears of each program's, once
// each, as Windows tells it of every program's: an online-only file goes
// back to the cloud after the last close.
TEST_F(CloudFsTest, ProgramsOpensAndClosesReachTheProvider) {
  online_only_ = true;
  const std::string data = RemoteBytes(100000, 4);
  Provider& p = Start({{"\\o.bin", {false, data}}});
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(p.Config("LogLevel=8705"), 0);  // where the callbacks are logged
  const auto fired = [&](const std::string& what, const std::string& name) {
    size_t n = 0;
    for (const std::string& line : p.Logs())
      n += line.find(what) != std::string::npos && line.find("\\" + name + "'") != std::string::npos;
    return n;
  };
  EXPECT_TRUE(Output("cat " + M("o.bin")) == data);
  // The kernel ends an open after cat has exited.
  EXPECT_TRUE(p.WaitUntil([&] { return fired("Close callback fired", "o.bin") > 0; }));
  EXPECT_TRUE(p.WaitUntil([&] { return StateOf(M("o.bin")) == "in-sync=yes pin=unspecified data=dehydrated"; }))
      << StateOf(M("o.bin"));
  EXPECT_EQ(fired("Open callback fired", "o.bin"), 1u);
  EXPECT_EQ(fired("Close callback fired", "o.bin"), 1u);
  // Renamed while open: the close comes under the new name.
  int fd = open(M("o.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << errno;
  std::string head(4096, '\0');
  ASSERT_EQ(pread(fd, head.data(), head.size(), 0), 4096) << errno;
  ASSERT_EQ(system(("mv " + M("o.bin") + " " + M("m.bin")).c_str()), 0);
  close(fd);
  EXPECT_TRUE(p.WaitUntil([&] { return fired("Close callback fired", "m.bin") == 1; }));
  // Deleted while a program holds it open: the host hears of a delete, not
  // of a rename to some hiding name; the holder reads on; the provider
  // hears of the close as a deleted file's (and so leaves it alone).
  fd = open(M("m.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << errno;
  ASSERT_EQ(pread(fd, head.data(), head.size(), 0), 4096) << errno;
  ASSERT_EQ(system(("rm " + M("m.bin")).c_str()), 0);
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\m.bin"));
  EXPECT_EQ(Output("ls -A " + root_), "");
  EXPECT_EQ(pread(fd, head.data(), head.size(), 4096), 4096) << errno;
  EXPECT_TRUE(head == data.substr(4096, 4096));
  close(fd);
  EXPECT_TRUE(p.WaitUntil([&] { return fired("Close callback fired", "m.bin") == 2; }));
  EXPECT_EQ(fired("Open callback fired", "o.bin") + fired("Open callback fired", "m.bin"), 3u);
  EXPECT_EQ(p.Count(HALVEX_EVENT_RENAME_FILE), 1u);  // the mv
  EXPECT_FALSE(p.WaitUntil([&] { return fired("Dehydrating placeholder because online only", "m.bin") > 0; },
                           std::chrono::milliseconds(300)));
  EXPECT_TRUE(p.Errors().empty()) << p.Errors().front();
}

// Changes made with ordinary programs reach the host, each once: an
// append, an editor's save over the original, a new file, a truncation,
// a chmod, deletes and renames. The root is mounted by its own
// registration, and is a plain folder again once uninstalled.
TEST_F(CloudFsTest, ChangesMadeThroughTheMountReachTheHost) {
  on_demand_ = true;
  Provider& p = Start({{"\\a.txt", {false, "original\n"}},
                       {"\\e.txt", {false, "draft 1\n"}},
                       {"\\t.txt", {false, "to be emptied\n"}},
                       {"\\k.txt", {false, "kept|cut\n"}},
                       {"\\d.txt", {false, "doomed\n"}},
                       {"\\r.txt", {false, "moving\n"}},
                       {"\\shrunk.txt", {false, RemoteBytes(20000, 4)}},
                       {"\\grown.txt", {false, "short\n"}},
                       {"\\sub", {true, ""}}});
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_EQ(system(("sh -c 'printf more >> " + M("a.txt") + "'").c_str()), 0);
  EXPECT_TRUE(HostHas("\\a.txt", "original\nmore"));
  EXPECT_TRUE(p.WaitUntil([&] { return StateOf(M("a.txt")).rfind("in-sync=yes", 0) == 0; }));  // the host took it
  // An append lands at the end the file has now, not where the kernel saw
  // it end before the host's new version came in behind the mount (a log
  // kept open across a remote change, grown or cut short).
  for (const auto& [name, version] : {std::pair{"shrunk.txt", "a new short text\n"}, {"grown.txt", "longer\n\n\n\n"}}) {
    const std::string path = std::string("\\") + name;
    const int fd = open(M(name).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << errno;
    ASSERT_EQ(p.UpdateFile(path, version), 0) << p.LastError();
    EXPECT_EQ(write(fd, "tail", 4), 4) << errno;
    close(fd);
    EXPECT_TRUE(HostHas(path, version + std::string("tail"))) << name << ": " << Remote(path).size() << " bytes";
    EXPECT_EQ(FileText(M(name)), version + std::string("tail")) << name;  // what the kernel kept of it went too
  }

  std::ofstream(M(".e.txt.swp")) << "draft 2\n";
  ASSERT_EQ(rename(M(".e.txt.swp").c_str(), M("e.txt").c_str()), 0) << errno;
  EXPECT_TRUE(HostHas("\\e.txt", "draft 2\n"));
  EXPECT_EQ(p.Count(HALVEX_EVENT_DELETE_FILE, "\\e.txt"), 0u);  // an update of the original

  ASSERT_EQ(system(("cp " + M("e.txt") + " " + M("sub/copy.txt")).c_str()), 0);
  EXPECT_TRUE(HostHas("\\sub\\copy.txt", "draft 2\n"));
  ASSERT_EQ(system(("sh -c ': > " + M("t.txt") + "'").c_str()), 0);
  EXPECT_TRUE(HostHas("\\t.txt", ""));
  ASSERT_EQ(truncate(M("k.txt").c_str(), 4), 0) << errno;  // what stays of a dehydrated file is real
  EXPECT_TRUE(HostHas("\\k.txt", "kept"));
  ASSERT_EQ(system(("chmod a-w " + M("k.txt")).c_str()), 0);  // the read-only attribute
  EXPECT_TRUE(p.WaitUntil([&] {
    for (const Event& e : p.Events())
      if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\k.txt" && (e.flags & HALVEX_UPDATE_ATTRIBUTES) &&
          (e.attributes & HALVEX_ATTR_READONLY))
        return true;
    return false;
  }));

  ASSERT_EQ(system(("rm " + M("d.txt")).c_str()), 0);
  ASSERT_EQ(system(("mv " + M("r.txt") + " " + M("sub/r2.txt")).c_str()), 0);
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\d.txt"));
  EXPECT_TRUE(HostHas("\\sub\\r2.txt", "moving\n"));
  EXPECT_EQ(Remote("\\r.txt"), "(none)");
  EXPECT_EQ(Output("ls " + M("sub")), "copy.txt\nr2.txt\n");
  EXPECT_FALSE(std::filesystem::exists(corvane::platform::local::BackingFolderOf(root_) + "/d.txt"));
  EXPECT_EQ(p.Count(HALVEX_EVENT_UPDATE_FILE, "\\a.txt"), 1u);  // no echo of the platform's writes

  // Uninstalled, the root is a plain folder again, with the items.
  ASSERT_EQ(p.Deactivate(), 0);
  ASSERT_EQ(p.Uninstall(), 0) << p.LastError();
  EXPECT_FALSE(Mounted());
  EXPECT_FALSE(std::filesystem::exists(corvane::platform::local::BackingFolderOf(root_)));
  EXPECT_EQ(FileText(M("sub/copy.txt")), "draft 2\n");
}

}  // namespace
}  // namespace e2e
