// The few services of the operating system the mirror needs beyond the
// standard library, for POSIX systems and for Windows. Paths and texts are
// UTF-8, the library's default code page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirror {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// The program's arguments as UTF-8 (Windows passes them in its ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The text of the last failed call of this thread.
std::string LastErrorText();

bool Exists(const std::string& path);  // links too, without following them

// The full path of an existing folder, links resolved where the system has them.
bool CanonicalFolder(const std::string& what, std::string& path, std::string& problem);
// False with the reason when the folder cannot be read and written.
bool Accessible(const std::string& what, const std::string& folder, std::string& problem);

// Renames a file or folder, replacing a file of the target's name.
bool RenameItem(const std::string& from, const std::string& to);

// A file read at any offset.
class InputFile {
 public:
  ~InputFile();
  bool Open(const std::string& path);  // false: error() and missing() say why
  bool missing() const { return missing_; }
  const std::string& error() const { return error_; }
  int64_t size() const { return size_; }
  // Bytes read; 0 at the end, -1 on failure (error() says why).
  int64_t ReadAt(int64_t offset, char* buffer, int32_t length);

 private:
  intptr_t handle_ = -1;
  int64_t size_ = 0;
  bool missing_ = false;
  std::string error_;
};

// A new file beside `target`, named with `prefix`, that replaces the target
// only once it is written and on disk; until then the target is untouched.
class ReplacementFile {
 public:
  ~ReplacementFile();
  bool Create(const std::string& target, const char* prefix);
  bool Write(const char* data, size_t size);
  bool Commit();  // flush, close and rename over the target
  const std::string& error() const { return error_; }

 private:
  void Discard();
  intptr_t handle_ = -1;
  std::string target_, temp_, error_;
};

// Ctrl-C, and on POSIX SIGTERM and SIGHUP. Construct it before any thread
// starts, so that every thread leaves those to Wait().
class StopRequests {
 public:
  StopRequests();
  // Blocks until one comes; says which ("Ctrl-C" or "signal").
  std::string Wait();
};

// An exclusive lock named `name`, outside any served folder, that the system
// drops when the process ends.
class ProcessLock {
 public:
  ~ProcessLock();
  // False when another process holds it (`holder` is its process id when
  // known) or it cannot be made (`problem`).
  bool Acquire(const std::string& name, std::string& holder, std::string& problem);

 private:
  intptr_t handle_ = -1;
};

}  // namespace mirror
