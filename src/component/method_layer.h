// The method layer: one do_ operation per item, listing and task method. Each
// checks the engine state, logs the call, normalises and checks the paths,
// records the change in the pending operations list and hands over to the
// engine. Strings arrive converted to UTF-16; results are result codes, and
// every failure is recorded as the calling thread's last error.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Engine;

constexpr int32_t kFolderAttribute = 0x40000000;
constexpr const char* kTextInvalidLocalPath = "Invalid local path specified";
constexpr const char* kTextPathPassesLink =
    "Invalid local path specified: it passes through a symbolic link or junction, which may lead out of the sync root";
constexpr const char* kTextInvalidBufferArgs = "Invalid combination of buffer size, Index, and Count parameters";

int32_t do_CreateFile(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
int32_t do_CreateFolder(Engine& engine, std::u16string_view local_path, int32_t attributes,
                        int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
int32_t do_UpdateFile(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
int32_t do_UpdateFolder(Engine& engine, std::u16string_view local_path, int32_t attributes,
                        int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
int32_t do_DeleteFile(Engine& engine, std::u16string_view local_path);
int32_t do_DeleteFolder(Engine& engine, std::u16string_view local_path, int32_t delete_children);
int32_t do_RenameFile(Engine& engine, std::u16string_view local_path, std::u16string_view new_path,
                      int32_t overwrite);
int32_t do_RenameFolder(Engine& engine, std::u16string_view local_path, std::u16string_view new_path);
int32_t do_ResetFile(Engine& engine, std::u16string_view local_path);
int32_t do_ResetFolder(Engine& engine, std::u16string_view local_path);
int32_t do_PinFile(Engine& engine, std::u16string_view local_path);
int32_t do_PinFolder(Engine& engine, std::u16string_view local_path);
int32_t do_UnpinFile(Engine& engine, std::u16string_view local_path);
int32_t do_UnpinFolder(Engine& engine, std::u16string_view local_path);
int32_t do_SyncFile(Engine& engine, std::u16string_view local_path);
// `attributes`/`status` receive the value only when the operation ran.
int32_t do_GetFileAttributes(Engine& engine, std::u16string_view local_path, int32_t& attributes);
int32_t do_GetFolderAttributes(Engine& engine, std::u16string_view local_path, int32_t& attributes);
int32_t do_SetFileAttributes(Engine& engine, std::u16string_view local_path, int32_t attributes);
int32_t do_SetFolderAttributes(Engine& engine, std::u16string_view local_path, int32_t attributes);
int32_t do_GetFileStatus(Engine& engine, std::u16string_view local_path, int32_t& status);
int32_t do_GetFolderStatus(Engine& engine, std::u16string_view local_path, int32_t& status);

int32_t do_ListFile(Engine& engine, int64_t enumeration_handle, std::u16string_view item_name,
                    int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                    int64_t last_write_time);
int32_t do_ListFolder(Engine& engine, int64_t enumeration_handle, std::u16string_view item_name,
                      int32_t attributes, int64_t creation_time, int64_t last_access_time,
                      int64_t last_write_time);

int32_t do_PutItemData(Engine& engine, int64_t task_id, const uint8_t* buffer, int32_t buffer_size,
                       int32_t index, int32_t count);
int32_t do_FinalizeTask(Engine& engine, int64_t task_id, int32_t result_code);
int32_t do_GetLocalFileData(Engine& engine, int64_t task_id, int64_t position, uint8_t* buffer,
                            int32_t buffer_size, int32_t index, int32_t count, int32_t& bytes_read);

}  // namespace corvane
