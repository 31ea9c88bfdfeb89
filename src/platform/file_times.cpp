// FILETIME counts 100 ns ticks from 1601; the conversions are the same on
// every system.
#include "platform/files.h"

namespace corvane::platform {

FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  return seconds * 10000000LL + nanoseconds / 100 + kFileTimeUnixEpoch;
}

void FileTimeToUnix(FILETIME time, int64_t& seconds, int64_t& nanoseconds) {
  int64_t ticks = time - kFileTimeUnixEpoch;
  seconds = ticks / 10000000LL;
  int64_t rest = ticks % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --seconds;
  }
  nanoseconds = rest * 100;
}

}  // namespace corvane::platform
