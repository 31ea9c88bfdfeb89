#include "engine/engine.h"

namespace corvane {

Engine::Engine(LogSink* log_sink) : diag(log_sink) { diag.BindCodePage(&code_page); }

}  // namespace corvane
