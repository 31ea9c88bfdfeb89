// Method dispatch. No method is served yet: every ID answers as an unknown
// one does.
#include "component/component.h"

namespace corvane {

int32_t Component::DoMethod(int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  (void)id;
  (void)count;
  (void)params;
  (void)cbparams;
  engine.diag.SetLastErrorCode(0);
  return 0;
}

}  // namespace corvane
