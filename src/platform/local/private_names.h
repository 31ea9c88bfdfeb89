// Names the local platform gives items while it prepares them. An item is
// made under such a name and renamed into place whole, so applications and
// the watcher never see it half made; neither lists nor reports these names.
#pragma once

#include <cstring>
#include <string>

namespace corvane::platform::local {

inline constexpr const char kPrivateNamePrefix[] = ".~corvane-tmp-";

inline bool IsPrivateName(const char* name) {
  return std::strncmp(name, kPrivateNamePrefix, sizeof kPrivateNamePrefix - 1) == 0;
}

// A fresh private name in `folder` (a native path, or "" for relative use).
std::string NewPrivateName(const std::string& folder);

// Removes `name` in `folder` when it is a private name whose process is
// gone: what a process that died halfway left behind. True when removed.
bool RemoveIfAbandoned(const std::string& folder, const char* name);

// Renames `from` to `to` unless `to` exists: 0, or -1 with errno (EEXIST).
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace corvane::platform::local
