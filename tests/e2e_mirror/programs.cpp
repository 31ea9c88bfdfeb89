#include "programs.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int out_fd, const std::string& input = "/dev/null") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(out_fd, STDERR_FILENO);
    const int in_fd = open(input.c_str(), O_RDONLY);
    dup2(in_fd, STDIN_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const std::string& input) {
  RunResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  const pid_t pid = Spawn(argv, fds[1], input);
  close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = ExitCode(status);
  return result;
}

RunResult Client(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv = {CLIENT_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, input);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool Eventually(double seconds, const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

World::World() {
  char pattern[] = "/tmp/corvane-e2e-mirror.XXXXXX";
  base = mkdtemp(pattern);
  server = base + "/server";
  root = base + "/root";
  state = base + "/state";
  for (const std::string& d : {server, root, state}) std::filesystem::create_directories(d);
  setenv("CORVANE_STATE_DIR", state.c_str(), 1);
  setenv("CORVANE_REQUEST_TIMEOUT_MS", "15000", 1);
}

World::~World() {
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
}

MirrorProcess::MirrorProcess(const std::string& server, const std::string& root, const std::string& log,
                             int poll_ms)
    : log_(log) {
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = Spawn({MIRROR_BIN, "--server", server, "--root", root, "--poll-ms", std::to_string(poll_ms)}, fd);
  close(fd);
}

MirrorProcess::~MirrorProcess() {
  if (pid_ > 0) Interrupt();
}

bool MirrorProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == 0) return true;
  exit_code_ = ExitCode(status);
  pid_ = -1;
  return false;
}

bool MirrorProcess::WaitServing(double seconds) {
  return Eventually(seconds, [&] { return Log().find("serving ") != std::string::npos || !Running(); }) &&
         Log().find("serving ") != std::string::npos;
}

int MirrorProcess::Interrupt() {
  if (pid_ <= 0) return exit_code_;
  kill(pid_, SIGINT);
  int status = 0;
  const bool ended = Eventually(30, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return ended ? ExitCode(status) : -1;
}
