#include "callbacks/callback_entries.h"
#include "component/component.h"
#include "component/version.h"
#include "watcher/watcher_entry.h"

namespace corvane {

Mutex& CreationLock() {
  static Mutex lock;
  return lock;
}

Component::Component(HalvexEventSink sink, void* context, bool wide_events)
    : engine(this, WatcherLocalChanges(), CallbackPlatformRequests()),
      sink_(sink),
      context_(context),
      wide_events_(wide_events),
      product_name_(u"Halvex") {
  engine.events = this;
  engine.thread_hook = this;
  engine.SetBuildNumber(kBuildNumber);
  // A new component puts the process-wide settings back to their defaults.
  SetCurrentLogLevel(kDefaultLogLevel);
}

// The engine is stopped while the component can still deliver its log lines.
Component::~Component() { engine.StopForDestroy(); }

void Component::OnThreadStart() { EnsureThreadCleanupRegistry(); }

void Component::OnThreadEnd() {}

// A failing Log handler still raises Error, but the thread's event error is
// put back: it may be the outcome of the event this line was logged under,
// and logging must never change a result.
void Component::DeliverLogLine(int32_t level, const std::u16string& line) {
  if (!has_sink()) return;
  const ErrorInfo saved = engine.diag.EventError();
  if (FireLog(level, line) != 0) engine.diag.SetEventError(saved.code, saved.text);
}

}  // namespace corvane
