// One task: an event that asks the host to act on its backend, with what the
// host may finish later through FinalizeTask. Records are reference-counted
// and recycled by the task registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/listed_item.h"
#include "engine/transfer_stream.h"
#include "provider/item_identity.h"
#include "support/mutex.h"

namespace corvane {

struct CallbackTaskContext;
class EngineCore;

// The kind of a task. The names are the log vocabulary.
enum OperationType : int32_t {
  OP_UNDEFINED = -1,
  OP_RENAME = 0,
  OP_READ_DATA = 1,
  OP_WRITE_DATA = 2,
  OP_CREATE = 3,
  OP_DELETE = 4,
  OP_LIST = 5,
  OP_INTERNAL_LIST = 6,
};

// "OP_UNDEFINED" ... "OP_INTERNAL_LIST"; "OP_UNKNOWN" outside the table.
const char16_t* OperationTypeName(int32_t type);

struct RenameInfo {
  std::u16string SourcePath;
  std::u16string TargetPath;
  // When the rename was told: an item that took its identity at the source
  // name after that is another one, which the rename did not move.
  int64_t ReportedAt = IdentityTime();
  // The moved item's cache values when the rename was reported: by the time
  // the host's late answer lands, the source name may hold another item.
  bool HasSource = false;
  int64_t SourceSize = 0;
  uint64_t SourceCreationTime = 0;
  uint64_t SourceLastAccessTime = 0;
  uint64_t SourceLastWriteTime = 0;
  uint32_t SourceAttributes = 0;
  // Not in sync when reported (a change the host has not taken): the rename
  // carries no content, so taking it does not bring the item in sync.
  bool SourceInSync = true;
  // The moved item's id as the change record told it: 0 when not told,
  // below 0 when the item had left the new name again by then.
  int64_t MovedFileId = 0;
  // A folder's move found at a start: what was done inside it while
  // stopped still names the old path, and is looked for once it is taken.
  bool WalkWhenTaken = false;
  // Folders holding items moved out of this folder while stopped, found at
  // the same start: their moves name this folder's path, which only the
  // host's answer settles, so they are looked for once it comes.
  std::vector<std::u16string> WalkWhenAnswered;
  // Items the host had below this folder at the last stop that the same
  // start found gone, by their paths below the folder: deleted while
  // stopped, and told under the folder's new path once the host takes the
  // move.
  struct Deleted {
    std::u16string below;
    uint32_t attributes = 0;
  };
  std::vector<Deleted> DeletedBelow;
  // Set once the move is taken and DeletedBelow handed on: later finds are
  // told at once.
  bool DeletedBelowTold = false;
};

struct Listing {
  std::vector<ListedItem> Items;
  std::u16string Mask;
  bool Recursive = false;
  uint32_t BatchLimit = 1000;
  uint32_t Capacity = 0x7FFFFFFF;
  uint32_t Count = 0;
  // The caller's context, handed on to the listings of subfolders.
  int64_t Context = 0;
  // When the host was asked: what changed by newer word since stands.
  uint64_t ChangeMark = UINT64_MAX;
};

// What it takes to fire an event again later. OpType uses the numbering of
// the pending operations list.
struct RetryRecord {
  std::u16string Path;
  uint32_t OpType = 0;
  int64_t QueuedAt = 0;
  int64_t TaskId = -1;
  uint32_t IsDir = 0;
  uint32_t Value1 = 0;
  uint32_t Value2 = 0;
  uint64_t Size = 0;
  uint64_t CreationTime = 0;
  uint64_t LastAccessTime = 0;
  uint64_t LastWriteTime = 0;
  std::u16string NewPath;
  std::u16string Mask;
  int64_t Offset = 0;
  int64_t Length = 0;
  // A folder's rename found at a start: what the start found deleted below
  // it, told once the host takes the rename (as RenameInfo::DeletedBelow).
  std::vector<RenameInfo::Deleted> DeletedBelow;
};

class Task {
 public:
  Task() = default;
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Fills a fresh or recycled record for a new task.
  void Prepare(std::u16string_view path, int32_t type, CallbackTaskContext* context);
  // Gives up everything the task held (open file, strings, objects) so the
  // record can wait in the pool.
  void Reset();

  // The producer's side of HandlerLock. Leave is a no-op on any thread but
  // the one that entered, so a FinalizeTask that already let go of the lock
  // from inside the handler and the producer's own release do not collide.
  // The analysis cannot follow HandlerLock: it is let go of in whichever of
  // the producer or FinalizeTask is done with the answer first.
  void EnterHandler() NO_THREAD_SAFETY_ANALYSIS;
  void LeaveHandler() NO_THREAD_SAFETY_ANALYSIS;
  bool HandlerHeldByThisThread() const;

  // Guarded by the registry locks.
  uint32_t RefCount = 0;
  int64_t TaskId = -1;

  std::u16string Path;
  std::u16string LocalPath;
  intptr_t LocalFile = -1;
  uint32_t LocalFileOpened = 0;
  // Set by whoever opened LocalFile; Reset closes the file with it.
  void (*CloseLocalFile)(intptr_t file) = nullptr;
  int64_t LocalFileSize = -1;
  // The file version a create or update told the host of (size -1: none);
  // its completion marks the file in sync only while it is still that one.
  int64_t ReportedSize = -1;
  int64_t ReportedWriteTime = 0;
  // The file-system id of the reported file (-1: not known): the host reads
  // that file's data, not another one moved to its path since.
  int64_t ReportedFileId = -1;
  // The reported file's update sequence number (0: none): one written since
  // the host took it is not put in sync.
  int64_t ReportedUsn = 0;
  // A create whose answer was acted on (set under TaskLock): an update the
  // host takes after that settles its own version.
  bool AnswerSettled = false;
  int32_t OperationType = OP_UNDEFINED;
  // A fetch's platform request, owned by whoever ends the fetch.
  CallbackTaskContext* Context = nullptr;

  std::unique_ptr<TransferStream> Transfer;
  std::unique_ptr<corvane::RenameInfo> RenameInfo;
  std::unique_ptr<corvane::Listing> Listing;

  std::atomic<uint32_t> ResultCode{0};
  std::unique_ptr<corvane::RetryRecord> RetryRecord;
  std::atomic<uint32_t> Cancelled{0};
  std::atomic<uint32_t> HandlerBusy{0};
  std::atomic<int64_t> StartTime{0};
  std::atomic<uint32_t> Completed{0};

  Mutex HandlerLock ACQUIRED_BEFORE(TaskLock);
  // Recursive: a cancel holds it across the host's CancelTask handler, which
  // may call FinalizeTask for the same task.
  RecursiveMutex TaskLock;

 private:
  std::atomic<std::thread::id> handler_owner_{};
};

// Milliseconds of the system time counted as file time (100 ns since 1601).
int64_t CurrentTimeMs();

// Notes the version of the file at the task's path that a create or update
// tells the host of, read now: without it the task's completion would put
// whatever the file holds by then in sync. A folder notes its time only.
// Given the file's id (read with the values told) and its change number
// (from its conversion just now), nothing is read.
void NoteReportedVersion(EngineCore& engine, Task& task, bool folder, int64_t size, int64_t last_write_time,
                         int64_t known_file_id = 0, int64_t known_usn = 0);

}  // namespace corvane
