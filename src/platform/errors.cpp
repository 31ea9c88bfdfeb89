#include "platform/errors.h"

namespace corvane::platform {
namespace {
thread_local uint32_t last_error = 0;
}  // namespace

uint32_t GetLastError() { return last_error; }
void SetLastError(uint32_t error) { last_error = error; }

}  // namespace corvane::platform
