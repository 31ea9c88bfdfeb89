// A fresh folder under the system's temporary folder, removed at the end.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

namespace corvane::testing {

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> counter{0};
    namespace fs = std::filesystem;
    path_ = fs::temp_directory_path() /
            ("corvane-test-" + std::to_string(fs::file_time_type::clock::now().time_since_epoch().count()) + "-" +
             std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Windows form, without a trailing separator.
  std::u16string Path() const { return path_.u16string(); }
  std::u16string Path(const std::u16string& relative) const { return Path() + u"\\" + relative; }

 private:
  std::filesystem::path path_;
};

}  // namespace corvane::testing
