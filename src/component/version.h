// The version texts the component answers, all made from the public header's
// numbers so that the header, the build and the running library agree.
#pragma once

#include "halvex/corvane.h"

#define CORVANE_TEXT_(x) #x
#define CORVANE_TEXT(x) CORVANE_TEXT_(x)

namespace corvane {

inline constexpr char kBuildInfo[] = CORVANE_TEXT(HALVEX_CORVANE_VERSION_MAJOR) "." CORVANE_TEXT(
    HALVEX_CORVANE_VERSION_MINOR) "." CORVANE_TEXT(HALVEX_CORVANE_VERSION_PATCH);
inline constexpr char kMajorVersion[] = CORVANE_TEXT(HALVEX_CORVANE_VERSION_MAJOR);
inline constexpr char kVersionTag[] = "HALVEX_VERSION_" CORVANE_TEXT(HALVEX_CORVANE_VERSION_MAJOR) "_" CORVANE_TEXT(
    HALVEX_CORVANE_VERSION_MINOR) "_" CORVANE_TEXT(HALVEX_CORVANE_VERSION_PATCH);
inline constexpr char16_t kBuildNumber[] = u"" CORVANE_TEXT(HALVEX_CORVANE_VERSION_PATCH);

}  // namespace corvane
