// New local items on their way to the host.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class Engine;

// `file_id`, when known (read with the values), spares a read of the file.
int32_t ReportNewLocalFile(Engine& engine, const std::u16string& full_path, int32_t attributes, int64_t size,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                           bool check_exclusion, int64_t file_id = 0);

}  // namespace corvane
