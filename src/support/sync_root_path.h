// Path rules of the sync root and of the paths methods take relative to it.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Canonical form of a configured sync-root path: backslash separators,
// repeated separators collapsed, "." dropped, ".." resolved without ever
// climbing above the drive or root prefix ("/home/ann/../x" -> "\home\x").
std::u16string PrepareSyncRootPath(std::u16string_view path);

// '/' -> '\', the form every path inside the library uses.
std::u16string NormalizeSeparators(std::u16string_view path);

// A path relative to the sync root (already normalised) that stays inside it:
// no ".." component (nor one that Windows would read as "..", such as ". ."
// or "..."), no drive prefix ("C:"), no UNC or device form ("\\server",
// "\\?\"), no NUL. A leading single backslash is the usual relative form.
// Strings that reach the library NUL-terminated cannot carry an inner NUL;
// the check still guards callers that pass a counted string.
bool IsSafeRelativePath(std::u16string_view path);

// An item name reported inside a listed folder: one component, so no
// separator and no "." or "..".
bool IsSafeItemName(std::u16string_view name);

// `path` with ASCII letters in lower case: the platform compares names
// without regard to their case, so paths that must match as it does are
// compared (or hashed) in this form.
std::u16string FoldAsciiCase(std::u16string_view path);

// `path` names an item somewhere below `folder` (both relative, with
// backslashes); the folder itself is not below itself.
bool IsBelowFolder(std::u16string_view path, std::u16string_view folder);

}  // namespace corvane
