// What the file system says about a local item now, read through one handle.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

struct LocalItemValues {
  int32_t attributes = 0;  // item attribute bits
  bool folder = false;
  int64_t size = 0;
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  bool placeholder = false;  // only where read from the item itself
  int64_t file_id = 0;       // only where read from the item itself
};

// The values of the item at `full_path`; 0 or the system error. Logs
// nothing: callers may hold the own-change lock, and a log line reaches the
// host.
uint32_t ReadLocalValues(const std::u16string& full_path, LocalItemValues& values);

}  // namespace corvane
