// The one way Windows' own headers enter the Windows implementation.
//
// Include it after every corvane header of a file: windows.h defines many of
// the platform layer's constant names (S_OK, ERROR_*, SUCCEEDED,
// HKEY_CURRENT_USER) as macros, and a corvane header read after it would have
// its declarations rewritten by them. Code below the include refers to those
// names unqualified, so the macro and our constant give the same value.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
// Needs windows.h first: the string form of a security id.
#include <sddl.h>
