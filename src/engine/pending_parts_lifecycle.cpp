// Temporary: removed when the branches are merged.
// The subsystems the lifecycle starts and stops, as if they were absent:
// nothing is listed, watched, scanned or run on a thread of their own.
#include "engine/engine.h"
#include "engine/engine_parts.h"
#include "provider/placeholder_requests.h"

namespace corvane {

const PlaceholderCallbackEntries& ProviderCallbackEntries() {
  static const PlaceholderCallbackEntries no_callbacks;
  return no_callbacks;
}

bool StartAsyncMonitorThread(Engine&) { return true; }
bool StartRetryQueueThread(Engine&) { return true; }
int32_t StartCheckExpiredPendingTasksThread(Engine&) { return 0; }
void SignalEngineThreads(Engine&) {}
void JoinEngineThreads(Engine&) {}

int32_t ProcessDirectory(Engine&, const std::u16string&, const std::u16string&, int64_t, int32_t, bool) { return 0; }

bool StartDirectoryWatcher(Engine&) { return true; }
void StopDirectoryWatcher(Engine&) {}
bool OfflineCheck(Engine&, const std::u16string&) { return true; }
bool DeleteEmptyLocalFolders(Engine&, const std::u16string&) { return true; }

}  // namespace corvane
