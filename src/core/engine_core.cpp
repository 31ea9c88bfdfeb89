#include "core/engine_core.h"

namespace corvane {

EngineCore::EngineCore(LogSink* log_sink) : diag(log_sink) { diag.BindCodePage(&code_page); }

std::u16string EngineCore::EffectiveSyncRootPath() const {
  std::u16string domain = settings.item_domain.Get();
  std::u16string path = sync_root_path_.Get();
  if (domain.empty()) return path;
  if (!path.empty() && path.back() != u'\\') path.push_back(u'\\');
  path.append(domain);
  return path;
}

}  // namespace corvane
