// The library speaks Windows-form paths (backslashes, UTF-16); the Linux
// platform turns them into native ones here, at its boundary, and only here.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform::local {

// "\home\ann\Cloud\a.txt" -> "/home/ann/Cloud/a.txt". Forward slashes are
// accepted too. A path under a root served by the cloud-files mount comes
// out in its backing folder (FromNativePath turns it back into the root's).
// Returns false when the text is not valid UTF-16 or holds a NUL.
bool ToNativePath(std::u16string_view windows_path, std::string& native);

// "/home/ann/Cloud/a.txt" -> "\home\ann\Cloud\a.txt". Bytes that are not UTF-8
// become U+FFFD (such names cannot be represented on Windows either).
std::u16string FromNativePath(std::string_view native_path);

// One native name (or a '/'-separated relative path) -> UTF-16 for listings
// and change records: a '\\' inside a name and every byte that is not part
// of valid UTF-8 become U+DC00+byte (see HoldsUnrepresentableName).
std::u16string NativeNameToWide(std::string_view name);

}  // namespace corvane::platform::local
