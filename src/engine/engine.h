// The sync engine of one component: on top of what it knows (EngineCore),
// its tasks, threads, the record of host-made changes and the ways back to
// the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/engine_core.h"
#include "engine/cancelled_tasks.h"
#include "engine/call_gate.h"
#include "engine/items_being_listed.h"
#include "engine/known_at_stop.h"
#include "engine/missed_marks.h"
#include "engine/moved_into_waiting_folders.h"
#include "engine/newer_changes.h"
#include "engine/pending_operations.h"
#include "engine/returned_folders.h"
#include "engine/stranded_items.h"
#include "engine/taken_renames.h"
#include "engine/task_registry.h"
#include "engine/unseen_creations.h"
#include "platform/per_thread.h"
#include "support/mutex.h"
#include "support/owned.h"

namespace corvane {

class EventInterface;
class ThreadHook;
class Provider;
class DirectoryWatcher;
class LocalChanges;
class PlatformRequests;
class EngineThreads;
class RetryQueue;
class OpenFiles;
struct RegistrationJob;

// What a path relative to the sync root names on disk.
enum class ItemKind { kMissing, kFile, kFolder };

class Engine : public EngineCore {
 public:
  Engine(LogSink* log_sink, const LocalChanges& local_changes, const PlatformRequests& platform_requests);
  ~Engine() override = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  virtual void SetBuildNumber(std::u16string_view build) { build_number = std::u16string(build); }

  EventInterface* events = nullptr;  // never null once the component exists
  ThreadHook* thread_hook = nullptr;
  std::u16string build_number;

  GeneralSettings general;
  // The record of host-made changes.
  PendingOperations pending{diag.log_sink(), settings.avoid_firing_events_for_methods};
  NewerChanges newer_changes;
  UnseenCreations unseen_creations;
  StrandedItems stranded;
  MissedMarks missed_marks;
  ReturnedFolders returned_folders;
  MovedIntoWaitingFolders moved_into_waiting_folders;
  TakenRenames taken_renames;
  KnownAtStop known_at_stop;
  CancelledTasks cancelled_tasks;
  ItemsBeingListed items_being_listed;
  PerThread<std::string> config_answers;  // answers of Config queries

  // Pending tasks.
  TaskRegistry tasks;
  // How long CancelAllTransfers waits for the pending tasks to go.
  std::atomic<int32_t> cancel_wait_budget_ms{10000};

  // Parts made by the lifecycle (Initialize) and the provider launch; each
  // part's owner adds its own members below its own heading.

  // -- lifecycle and registration --
  Owned<Provider> provider = NoOwned<Provider>();
  // Serialises callbacks while SerializeEvents is on; made by Initialize.
  Owned<Mutex> event_lock = NoOwned<Mutex>();
  // Passed by every item, listing and task method: the uninitialisation
  // closes it and waits for the calls inside before it frees the parts.
  CallGate method_calls;
  // How long RegisterProvider waits for its registration thread.
  std::atomic<int32_t> registration_time_limit_ms{120000};
  bool Initialize();
  int32_t LaunchProvider();
  // Waits for a registration thread that outlived its time limit.
  void JoinRegistrationThread();
  void JoinActivationThread();
  // Waits until no activation thread runs, unless called on one.
  void WaitForActivationThreads();
  // Signals the engine threads, cancels the tasks, disconnects the root and
  // uninitialises: the body of a deactivation.
  int32_t ShutDownProvider();
  // The thread running IntActivate, while it runs.
  std::atomic<std::thread::id> activation_runner{};
  // The thread of an asynchronous activation; it ends itself, the object is
  // joined before another starts and before the engine goes.
  std::thread activation_thread;
  // The last registration thread and what it shares with its waiter.
  std::thread registration_thread;
  std::shared_ptr<RegistrationJob> registration_job;

  // -- callbacks and hydration --
  Owned<OpenFiles> open_files = NoOwned<OpenFiles>();

  // -- retries, async monitor and expiry --
  Owned<RetryQueue> retry_queue = NoOwned<RetryQueue>();
  Owned<EngineThreads> engine_threads = NoOwned<EngineThreads>();
  // Both are made on first use by whichever thread gets there first.
  std::once_flag retry_queue_once;
  std::once_flag engine_threads_once;

  // -- directory watcher, and the platform's requests --
  const LocalChanges& local_changes;
  const PlatformRequests& platform_requests;
  Owned<DirectoryWatcher> watcher = NoOwned<DirectoryWatcher>();

  // -- end of the parts --

  // Properties; the string setters log first, then refuse while running.
  int32_t SetSerializeEvents(uint32_t value);
  int32_t SetSyncRootIcon(std::u16string_view value);
  int32_t SetSyncRootLabel(std::u16string_view value);
  int32_t SetSyncRootPath(std::u16string_view value);
  int32_t SetItemDomain(std::u16string_view value);
  // Settings back to the values of a new component.
  void ResetSettings();

  // Counts behind the StatPendingTasks and PendingOperationCount keys.
  int32_t StatPendingTasks() const;
  int32_t PendingOperationCount() const;

  // What `relative_path` names below the effective sync root.
  ItemKind ProbeItem(std::u16string_view relative_path);
  // The host's own item is at `relative_path` (being made by its method, or
  // an in-sync placeholder it named so): a removal of the name the watcher
  // handles late is of an item before it, and must not delete it.
  bool HostMadeItemAt(const std::u16string& relative_path);
  // The host took a delete or move of the item at `relative_path`: the name
  // holds it no more, and a listing made before that still shows it there.
  void HostTookItemAway(const std::u16string& relative_path);
  // Whether `relative_path` leads through a link, where any call on it
  // could reach outside the sync root.
  bool PathPassesLink(std::u16string_view relative_path) const;

  // Entry points of the method layer and the lifecycle steps behind them.
  int32_t do_Install();
  int32_t do_Activate(bool synchronous);
  int32_t do_Deactivate();
  int32_t do_Uninstall();
  int32_t Install();
  int32_t Uninstall();
  int32_t RegisterProvider();
  int32_t IntActivate(bool synchronous);
  void IntStopActivating();
  int32_t IntDeactivate();
  int32_t CancelAllTransfers();
  int32_t DeactivateProvider();
  int32_t IntUninitialize();
  // Ends a running activation or deactivation and deactivates an active
  // engine; the owner calls it before it goes away.
  void StopForDestroy();

  int32_t SendNewerLocalVersion(std::u16string_view full_path, std::u16string_view relative_path,
                                const platform::BY_HANDLE_FILE_INFORMATION& local, int64_t creation_time,
                                int64_t last_access_time, int32_t attributes, bool whole) override;

 private:
  int32_t RefuseWhileRunning();
  void PrepareSyncRootPathOnce();

  // Asynchronous activation threads still running; each counts itself off
  // as its last step.
  std::atomic<int32_t> activation_threads_running_{0};
};

}  // namespace corvane
