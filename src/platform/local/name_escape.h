// Names chosen by callers (registry keys, sync-root ids) as single file names
// in the state folder.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform::local {

// UTF-16 name -> one file-name component: ASCII letters folded to lower case
// (these names compare without case), and '/', '%', '#', control characters
// and a leading '.' written as %XX. False for ill-formed UTF-16 or a result
// longer than a file name may be.
bool EscapeNameForFile(std::u16string_view name, std::string& out);

// Comparison of names that Windows compares without regard to case.
bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace corvane::platform::local
