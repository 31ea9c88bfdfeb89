// The engine work behind CreateFile, UpdateFile and the taking in of a local
// file; the method layer checks the engine state and the arguments first.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;

// Create/update flags handed on unchanged to the placeholder work.
constexpr int32_t kCreateFileFlags = 0x212;
constexpr int32_t kUpdateFileFlags = 2;

// `converted_usn` as for DoCreateOrUpdatePlaceholder.
int32_t CreateFileInt(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags,
                      int64_t* converted_usn = nullptr);
int32_t UpdateFileInt(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags);
// Takes in a plain file put over a known item (an editor's save) as that
// item's placeholder, in sync only when `in_sync` (nothing of it is new to
// the host); kErrLocalItemNotFound, with nothing made, when the file is gone
// by now.
int32_t ConvertLocalItem(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                         int64_t creation_time, int64_t last_access_time, int64_t last_write_time, bool in_sync);

}  // namespace corvane
