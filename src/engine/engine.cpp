#include "engine/engine.h"

#include "platform/text.h"

namespace corvane {

Engine::Engine(LogSink* log_sink, const LocalChanges& local_changes, const PlatformRequests& platform_requests)
    : EngineCore(log_sink), local_changes(local_changes), platform_requests(platform_requests) {
  ResetSettings();
  general.charset_mode.store(platform::AnsiCodePage() == 932 ? 1 : 0);
}

}  // namespace corvane
