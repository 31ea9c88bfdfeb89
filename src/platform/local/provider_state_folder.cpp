#include "platform/files.h"
#include "platform/local/native_path.h"
#include "platform/local/state_dir.h"

namespace corvane::platform {

bool ProviderStateFolder(std::u16string& folder) {
  const std::string native = local::EnsureStateSubdir("provider");
  if (native.empty()) return false;
  folder = local::FromNativePath(native);
  return true;
}

}  // namespace corvane::platform
