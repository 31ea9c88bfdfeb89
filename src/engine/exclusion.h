// Which local items stay away from the host: the ExcludedFiles masks, and
// hidden or temporary items when the settings say so.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class Engine;

// Wildcard match of a whole path: "?" one character, "*" any run
// (backslashes included), ASCII letters without regard to case. A trailing
// ".*" also matches a name without extension, and a trailing "." a name
// without any dot.
// Whether `relative_path` names an office lock file ("~$report.docx",
// "data.laccdb"); `document` receives the path of the document it locks.
bool IsLockFile(std::u16string_view relative_path, std::u16string* document);

bool MaskMatch(std::u16string_view name, std::u16string_view mask);

// Whether any ExcludedFiles mask ("|" or space separated) matches the path
// relative to the sync root.
bool CheckIfExcludedByConfig(Engine& engine, std::u16string_view relative_path);

// Whether an item that is not a placeholder stays away from the host rather
// than being reported as new: an ExcludedFiles mask matches it, it is hidden
// or temporary where the settings exclude those, or it is a tracked office
// lock file.
bool KeptFromHost(Engine& engine, std::u16string_view relative_path, uint32_t platform_attributes);

enum class ExcludedState : int32_t { kDoNothing = 0, kSkip = 1, kIncluded = 2, kNewlyExcluded = 3 };
int32_t ProcessExcludedState(Engine& engine, const std::u16string& relative_path, uint32_t platform_attributes,
                             ExcludedState* state);

}  // namespace corvane
