// What the mirror tells the person watching it: one line per event, with the
// time in front, written whole even when several threads talk at once.
#pragma once

#include <cstdint>
#include <string>

namespace mirror {

// printf-style; a line feed is added.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same on stderr, for failures.
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "12 bytes", "3.5 KiB", "2.0 MiB".
std::string HumanSize(int64_t bytes);

}  // namespace mirror
