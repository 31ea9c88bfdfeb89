// The event sink: every event the library raises arrives here, on whatever
// thread raised it, and is handed to the part of the mirror that deals with it.
#pragma once

#include <halvex/corvane.h>

#include <cstdint>
#include <string>

#include "downloads.h"
#include "uploads.h"

namespace mirror {

struct EventContext {
  Component* component = nullptr;
  Downloads* downloads = nullptr;
  Uploads* uploads = nullptr;
  std::string server_root;
  int log_level = 2;
};

// Matches HalvexEventSink; `context` is an EventContext.
int32_t OnEvent(void* context, int32_t event_id, int32_t param_count, intptr_t* params, int32_t* cbparams);

}  // namespace mirror
