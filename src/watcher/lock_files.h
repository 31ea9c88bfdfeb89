// Office lock files ("~$report.docx", "data.laccdb"): never reported; while
// one exists its document's changes are held back, and when it goes the
// document is reported once as updated.
#pragma once

#include <string>
#include <string_view>

#include "platform/directory_changes.h"

namespace corvane {

class Engine;

// Handles one change record of a lock file; false for any other path, or
// while TrackOfficeLockFiles is off, and the caller then processes the
// record normally.
bool HandleLockFile(Engine& engine, const std::u16string& relative_path,
                    const platform::FILE_NOTIFY_EXTENDED_INFORMATION& record);

// The same for a lock file a folder walk finds rather than a change record:
// true when the walk skips it, its document then held back as when the lock
// file is seen being created.
bool HandleFoundLockFile(Engine& engine, const std::u16string& relative_path);

}  // namespace corvane
