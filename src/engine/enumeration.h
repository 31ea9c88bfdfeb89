// Population of folders from the host's listings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class Engine;

int32_t ProcessDirectory(Engine& engine, const std::u16string& folder, const std::u16string& mask, int64_t context,
                         int32_t batch_limit, bool recursive);
// The same for one folder an application lists: an asynchronous answer is
// waited for (until it is finished, cancelled or the engine stops), so the
// folder is called populated only once the host's listing has arrived.
// kOk, or the code the listing ended with; `reported` tells whether that
// code has had its Error event already.
int32_t ListFolderForApplication(Engine& engine, const std::u16string& folder, int32_t batch_limit,
                                 bool* reported);
int32_t ProcessListing(Engine& engine, int64_t task_id, bool remove_task);

// One item of a listing request.
int32_t IntListItem(Engine& engine, int64_t enumeration_handle, std::u16string_view name, bool is_folder,
                    int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                    int64_t last_write_time);

}  // namespace corvane
