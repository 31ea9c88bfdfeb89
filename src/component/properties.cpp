// Property dispatch. No property is served yet: every ID answers as an
// unknown one does.
#include "component/component.h"

namespace corvane {

intptr_t Component::GetProperty(int32_t id) {
  (void)id;
  engine.diag.SetLastErrorCode(0);
  return 0;
}

int32_t Component::SetProperty(int32_t id, intptr_t value) {
  (void)id;
  (void)value;
  return -1;
}

}  // namespace corvane
