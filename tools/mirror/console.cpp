#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace mirror {
namespace {

std::mutex& ConsoleMutex() {
  static std::mutex m;
  return m;
}

void Emit(FILE* out, const char* format, va_list args) {
  char text[2048];
  vsnprintf(text, sizeof text, format, args);
  char stamp[16] = "";
  const time_t now = time(nullptr);
  struct tm local;
#ifdef _WIN32
  const bool known = localtime_s(&local, &now) == 0;
#else
  const bool known = localtime_r(&now, &local) != nullptr;
#endif
  if (known) strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  fprintf(out, "[%s] %s\n", stamp, text);
  fflush(out);  // a person (or a script) reads along while the mirror runs
}

}  // namespace

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stdout, format, args);
  va_end(args);
}

void Complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stderr, format, args);
  va_end(args);
}

std::string HumanSize(int64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%lld byte%s", static_cast<long long>(bytes), bytes == 1 ? "" : "s");
  } else if (bytes < 1024 * 1024) {
    snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else {
    snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  }
  return text;
}

}  // namespace mirror
