#include "provider/provider.h"

#include "core/engine_core.h"
#include "diag/log.h"
#include "diag/result_codes.h"
#include "platform/files.h"

namespace corvane {

namespace {

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

}  // namespace

Provider* Provider::Create(EngineCore& core, std::u16string_view sync_root) {
  std::u16string long_root;
  if (sync_root.empty() || !platform::GetLongPathName(std::u16string(sync_root), long_root) || long_root.empty()) {
    return nullptr;
  }
  return new Provider(core, std::move(long_root));
}

Provider::Provider(EngineCore& core, std::u16string root) : core_(core), root_(std::move(root)) {
  // Without the drive, as the platform's normalised paths come.
  const size_t first = root_.find(u'\\');
  relative_root_ = first == std::u16string::npos ? root_ : root_.substr(first);
  if (relative_root_.empty() || relative_root_.back() != u'\\') relative_root_.push_back(u'\\');
}

int32_t Provider::GetRelativePath(std::u16string_view full_path, std::u16string* relative) const {
  if (full_path.size() > relative_root_.size() && StartsWithIgnoringCase(full_path, relative_root_)) {
    relative->assign(full_path.substr(relative_root_.size() - 1));
    return kOk;
  }
  LogF(core_.diag.log_sink(), kLogFailure, u"Failed to get relative path for '%s'", full_path);
  return kErrInvalidParameter;
}

}  // namespace corvane
