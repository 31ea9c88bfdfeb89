// The local platform keeps what the operating system would keep across
// processes (sync-root registrations, shell records, registry entries, search
// scopes, provider connections) under one state folder.
#pragma once

#include <string>

namespace corvane::platform::local {

// CORVANE_STATE_DIR when set, else $XDG_STATE_HOME/corvane, else
// ~/.local/state/corvane. Read on every call so tests can point it elsewhere.
std::string StateDir();

// StateDir() joined with `sub`, created (with parents) when missing.
// Returns an empty string and sets errno when it cannot be created.
std::string EnsureStateSubdir(const std::string& sub);

// Writes `content` to `path` through a temporary file and rename(), so readers
// in other processes see either the old or the new content, never a part.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& content);

}  // namespace corvane::platform::local
