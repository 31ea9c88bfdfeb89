// Temporary folders and a temporary state folder for the service tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace corvane::testing {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/corvane-services-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Points CORVANE_STATE_DIR at a fresh folder for the life of the object.
class TempStateDir {
 public:
  TempStateDir() { setenv("CORVANE_STATE_DIR", dir_.path().c_str(), 1); }
  ~TempStateDir() { unsetenv("CORVANE_STATE_DIR"); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

}  // namespace corvane::testing
