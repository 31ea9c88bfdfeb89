// Engine work behind the item, listing and task methods. The method layer
// checks the engine state, the arguments and the item first; these do the
// work against the placeholders, the listing requests and the tasks.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;

// Create/update flags handed on unchanged to the placeholder work.
constexpr int32_t kCreateFileFlags = 0x212;
constexpr int32_t kUpdateFileFlags = 2;

int32_t CreateFileInt(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags);
int32_t UpdateFileInt(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags);
// Takes in a plain file put over a known item (an editor's save) as that
// item's placeholder; kErrLocalItemNotFound, with nothing made, when the
// file is gone by now.
int32_t ConvertLocalItem(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                         int64_t creation_time, int64_t last_access_time, int64_t last_write_time);

// Drops the metadata-cache record of a deleted item (and its children).
void RemoveCachedItem(Engine& engine, std::u16string_view path, bool children);

// One item of a listing request.
int32_t IntListItem(Engine& engine, int64_t enumeration_handle, std::u16string_view name, bool is_folder,
                    int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                    int64_t last_write_time);

// Task work behind FinalizeTask and GetLocalFileData, after the
// method layer has checked the state and the arguments.
int32_t CompleteTask(Engine& engine, int64_t task_id, int32_t result_code);
int32_t ReadTaskLocalData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer, int32_t count,
                          int32_t* bytes_read);

}  // namespace corvane
