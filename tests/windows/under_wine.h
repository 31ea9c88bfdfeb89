// Whether the program runs under Wine, which lacks a few file-system
// features of NTFS (alternate data streams, stored creation times).
#pragma once

namespace corvane::testing {
bool RunningUnderWine();
}  // namespace corvane::testing
