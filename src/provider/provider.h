// The provider object: what the callbacks and the item operations need to
// know about the sync root, fixed when the engine is initialised.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class EngineCore;

class Provider {
 public:
  // Resolves the long form of `sync_root` (which must exist); null when it
  // cannot be resolved.
  static Provider* Create(EngineCore& core, std::u16string_view sync_root);

  // The engine the platform's callbacks of this root go to.
  EngineCore& core() const { return core_; }
  // The sync-root folder in its long form.
  const std::u16string& root() const { return root_; }
  // The same from its first "\" on, ending in "\".
  const std::u16string& relative_root() const { return relative_root_; }

  // The path of `full_path` below the root, beginning with "\". The root
  // itself and paths outside it give HALVEX_ERR_INVALID_PARAMETER.
  int32_t GetRelativePath(std::u16string_view full_path, std::u16string* relative) const;

 private:
  Provider(EngineCore& core, std::u16string root);

  EngineCore& core_;
  std::u16string root_;
  std::u16string relative_root_;
};

}  // namespace corvane
