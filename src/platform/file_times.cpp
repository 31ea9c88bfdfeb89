// FILETIME counts 100 ns ticks from 1601; the conversions are the same on
// every system.
#include "platform/files.h"

namespace corvane::platform {

FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  // Some file systems (tmpfs) keep any 64-bit second a program sets: times a
  // FILETIME cannot hold are held at the ends of its range, never wrapped.
  constexpr int64_t kTicksPerSecond = 10000000LL;
  constexpr int64_t kFirstSecond = -kFileTimeUnixEpoch / kTicksPerSecond;
  constexpr int64_t kLastSecond = (INT64_MAX - kFileTimeUnixEpoch) / kTicksPerSecond - 1;
  if (seconds < kFirstSecond) return 0;
  if (seconds > kLastSecond) return INT64_MAX;
  return seconds * kTicksPerSecond + nanoseconds / 100 + kFileTimeUnixEpoch;
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
