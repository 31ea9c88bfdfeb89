#include "native.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "server_paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace mirror {

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                    static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

std::string Utf8(const wchar_t* text, int length = -1) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  if (length < 0) out.pop_back();  // the terminator
  return out;
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenForAttributes(const std::string& path, DWORD access) {
  return CreateFileW(Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

int64_t Ticks(const FILETIME& t) { return static_cast<int64_t>((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime); }

HANDLE g_stop_event = nullptr;
DWORD g_stop_kind = CTRL_C_EVENT;

BOOL WINAPI OnConsoleControl(DWORD kind) {
  g_stop_kind = kind;
  SetEvent(g_stop_event);
  return TRUE;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  if (wide == nullptr || count != argc) {
    out.assign(argv, argv + argc);
  } else {
    for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i]));
  }
  LocalFree(wide);
  return out;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = text ? Utf8(text) : "error " + std::to_string(code);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return out;
}

bool Exists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool StatItem(const std::string& full_path, ServerItem& item) {
  const HANDLE h = OpenForAttributes(full_path, FILE_READ_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) return false;
  item.is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  item.size = item.is_folder ? 0 : static_cast<int64_t>((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  item.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  item.times.creation = Ticks(info.ftCreationTime);
  item.times.last_access = Ticks(info.ftLastAccessTime);
  item.times.last_write = Ticks(info.ftLastWriteTime);
  item.mtime_ns = item.times.last_write * 100;
  return true;
}

bool SetLastWriteTime(const std::string& full_path, int64_t file_time) {
  if (file_time <= 0) return true;
  const HANDLE h = OpenForAttributes(full_path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME t{static_cast<DWORD>(file_time), static_cast<DWORD>(static_cast<uint64_t>(file_time) >> 32)};
  const bool ok = SetFileTime(h, nullptr, nullptr, &t) != 0;
  CloseHandle(h);
  return ok;
}

bool CanonicalFolder(const std::string& what, std::string& path, std::string& problem) {
  const std::wstring given = Wide(path);
  const DWORD attributes = GetFileAttributesW(given.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    problem = what + " '" + path + "' does not exist";
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    problem = what + " '" + path + "' is not a folder";
    return false;
  }
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(given.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) {
    problem = what + " '" + path + "': " + LastErrorText();
    return false;
  }
  path = Utf8(full, static_cast<int>(n));
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return true;
}

bool Accessible(const std::string&, const std::string&, std::string&) {
  return true;  // access rights show at the first read or write
}

bool RenameItem(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

InputFile::~InputFile() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

bool InputFile::Open(const std::string& path) {
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size;
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) {
    const DWORD code = GetLastError();
    missing_ = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    error_ = LastErrorText();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  size_ = size.QuadPart;
  return true;
}

int64_t InputFile::ReadAt(int64_t offset, char* buffer, int32_t length) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  if (!ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(length), &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    error_ = LastErrorText();
    return -1;
  }
  return got;
}

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Create(const std::string& target, const char* prefix) {
  target_ = target;
  const size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string(".") : target.substr(0, cut);
  static LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "%s%08lx%04lx", prefix, GetCurrentProcessId(),
             static_cast<unsigned long>(InterlockedIncrement(&counter) & 0xFFFF));
    temp_ = folder + "\\" + name;
    const HANDLE h = CreateFileW(Wide(temp_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  error_ = "cannot create a temporary file: " + LastErrorText();
  temp_.clear();
  return false;
}

bool ReplacementFile::Write(const char* data, size_t size) {
  while (size > 0) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
    if (!WriteFile(AsHandle(handle_), data, want, &wrote, nullptr) || wrote == 0) {
      error_ = "writing the server copy: " + LastErrorText();
      return false;
    }
    data += wrote;
    size -= wrote;
  }
  return true;
}

bool ReplacementFile::Commit() {
  if (!FlushFileBuffers(AsHandle(handle_))) {
    error_ = "flushing the server copy: " + LastErrorText();
    return false;
  }
  CloseHandle(AsHandle(handle_));
  handle_ = -1;
  if (!RenameItem(temp_, target_)) {
    error_ = "replacing the server copy: " + LastErrorText();
    return false;
  }
  temp_.clear();
  return true;
}

void ReplacementFile::Discard() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  handle_ = -1;
  if (!temp_.empty()) DeleteFileW(Wide(temp_).c_str());
  temp_.clear();
}

StopRequests::StopRequests() {
  g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::string StopRequests::Wait() {
  WaitForSingleObject(g_stop_event, INFINITE);
  return g_stop_kind == CTRL_C_EVENT || g_stop_kind == CTRL_BREAK_EVENT ? "Ctrl-C" : "signal";
}

ProcessLock::~ProcessLock() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

bool ProcessLock::Acquire(const std::string& name, std::string& holder, std::string& problem) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) {
    problem = "cannot find the temporary folder: " + LastErrorText();
    return false;
  }
  const std::wstring dir = std::wstring(temp, n) + L"corvane-mirror";
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    problem = "cannot create the lock folder '" + Utf8(dir.c_str()) + "': " + LastErrorText();
    return false;
  }
  const std::wstring path = dir + L"\\" + Wide(name) + L".lock";
  // Nobody else may write it while this process has it open.
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_SHARING_VIOLATION) {
      problem = "cannot open the lock file '" + Utf8(path.c_str()) + "': " + LastErrorText();
      return false;
    }
    const HANDLE peek = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    char text[32] = "";
    DWORD got = 0;
    if (peek != INVALID_HANDLE_VALUE && ReadFile(peek, text, sizeof text - 1, &got, nullptr)) text[got] = '\0';
    if (peek != INVALID_HANDLE_VALUE) CloseHandle(peek);
    holder = text;
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  const std::string pid = std::to_string(GetCurrentProcessId());
  DWORD wrote = 0;
  // The pid is only a hint for another mirror's message.
  if (SetEndOfFile(h)) WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &wrote, nullptr);
  return true;
}

#else  // POSIX

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::string LastErrorText() { return strerror(errno); }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool StatItem(const std::string& full_path, ServerItem& item) {
  struct stat st;
  if (lstat(full_path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  item.is_folder = S_ISDIR(st.st_mode);
  item.size = item.is_folder ? 0 : static_cast<int64_t>(st.st_size);
  item.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  item.inode = st.st_ino;
  // Linux keeps no creation time in stat; the change time is the nearest.
  item.times.creation = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  item.times.last_access = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  item.times.last_write = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return true;
}

bool SetLastWriteTime(const std::string& full_path, int64_t file_time) {
  if (file_time <= kUnixEpochAsFileTime) return true;
  const int64_t ticks = file_time - kUnixEpochAsFileTime;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time stays
  times[1].tv_sec = ticks / 10000000LL;
  times[1].tv_nsec = (ticks % 10000000LL) * 100;
  return utimensat(AT_FDCWD, full_path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool CanonicalFolder(const std::string& what, std::string& path, std::string& problem) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    problem = what + " '" + path + "' does not exist";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    problem = what + " '" + path + "' is not a folder";
    return false;
  }
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) {
    problem = what + " '" + path + "': " + strerror(errno);
    return false;
  }
  path = resolved;
  return true;
}

bool Accessible(const std::string& what, const std::string& folder, std::string& problem) {
  if (access(folder.c_str(), R_OK | W_OK | X_OK) == 0) return true;
  problem = what + " '" + folder + "' is not readable and writable: " + strerror(errno);
  return false;
}

bool RenameItem(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

InputFile::~InputFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool InputFile::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    missing_ = errno == ENOENT;
    error_ = strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  handle_ = fd;
  size_ = st.st_size;
  return true;
}

int64_t InputFile::ReadAt(int64_t offset, char* buffer, int32_t length) {
  for (;;) {
    const ssize_t got = pread(static_cast<int>(handle_), buffer, static_cast<size_t>(length), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = strerror(errno);
    return got;
  }
}

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Create(const std::string& target, const char* prefix) {
  target_ = target;
  const size_t cut = target.rfind('/');
  temp_ = (cut == std::string::npos ? std::string(".") : target.substr(0, cut)) + "/" + prefix + "XXXXXX";
  const int fd = mkstemp(temp_.data());
  if (fd < 0) {
    error_ = std::string("cannot create a temporary file: ") + strerror(errno);
    temp_.clear();
    return false;
  }
  handle_ = fd;
  return true;
}

bool ReplacementFile::Write(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(static_cast<int>(handle_), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = std::string("writing the server copy: ") + strerror(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplacementFile::Commit() {
  if (fsync(static_cast<int>(handle_)) != 0) {
    error_ = std::string("flushing the server copy: ") + strerror(errno);
    return false;
  }
  close(static_cast<int>(handle_));
  handle_ = -1;
  if (rename(temp_.c_str(), target_.c_str()) != 0) {
    error_ = std::string("replacing the server copy: ") + strerror(errno);
    return false;
  }
  temp_.clear();
  // mkstemp makes the file private; the server copy gets ordinary permissions.
  const mode_t mask = umask(0);
  umask(mask);
  chmod(target_.c_str(), 0666 & ~mask);
  return true;
}

void ReplacementFile::Discard() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

namespace {
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}
}  // namespace

// Taken by sigwait(), never by a handler: blocked before any thread exists,
// so every thread (the library's too) inherits that.
StopRequests::StopRequests() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string StopRequests::Wait() {
  const sigset_t set = StopSignals();
  int signal_number = 0;
  sigwait(&set, &signal_number);
  return signal_number == SIGINT ? "Ctrl-C" : "signal";
}

ProcessLock::~ProcessLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));  // the kernel drops the lock with the descriptor
}

bool ProcessLock::Acquire(const std::string& name, std::string& holder, std::string& problem) {
  const char* base = getenv("XDG_RUNTIME_DIR");
  if (!base || !*base) base = getenv("TMPDIR");
  if (!base || !*base) base = "/tmp";
  const std::string dir = std::string(base) + "/corvane-mirror-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = "cannot create the lock folder '" + dir + "': " + strerror(errno);
    return false;
  }
  const std::string path = dir + "/" + name + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = "cannot open the lock file '" + path + "': " + strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char text[32] = "";
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    text[n > 0 ? n : 0] = '\0';
    holder = text;
    close(fd);
    return false;
  }
  handle_ = fd;
  const std::string pid = std::to_string(getpid());
  if (ftruncate(fd, 0) == 0 && pwrite(fd, pid.c_str(), pid.size(), 0) < 0) {
    // The pid is only a hint for another mirror's message.
  }
  return true;
}

#endif

}  // namespace mirror
