// The item check of the method layer: what a path relative to the sync root
// names on disk.
#include "engine/engine.h"
#include "platform/files.h"
#include "platform/types.h"

namespace corvane {

ItemKind Engine::ProbeItem(std::u16string_view relative_path) {
  std::u16string full = EffectiveSyncRootPath();
  if (!relative_path.empty() && relative_path.front() != u'\\' && (full.empty() || full.back() != u'\\')) {
    full.push_back(u'\\');
  }
  full.append(relative_path);
  const platform::DWORD attributes = platform::GetFileAttributesW(full.c_str());
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return ItemKind::kMissing;
  return (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0 ? ItemKind::kFolder : ItemKind::kFile;
}

bool Engine::PathPassesLink(std::u16string_view relative_path) const {
  return platform::PathPassesLink(EffectiveSyncRootPath(), relative_path);
}

}  // namespace corvane
