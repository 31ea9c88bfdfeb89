// The host refused a rename the user already made on disk.
#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/item_operations.h"
#include "engine/retry_passes.h"
#include "platform/directory_changes.h"
#include "platform/files.h"
#include "provider/placeholder_manager.h"

namespace corvane {
namespace {

bool Exists(const std::u16string& full) {
  return platform::GetFileAttributesW(full.c_str()) != platform::INVALID_FILE_ATTRIBUTES;
}

// Some file at or below `full` has data that is only on the server.
bool HoldsServerOnlyData(PlaceholderManager& manager, const std::u16string& full, bool is_dir) {
  const platform::CF_PLACEHOLDER_STATE state = manager.GetPlaceholderState(full.c_str());
  if (!is_dir) {
    return state != platform::CF_PLACEHOLDER_STATE_INVALID && (state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) &&
           !IsWholePlaceholder(state);
  }
  platform::WIN32_FIND_DATAW data;
  const std::u16string pattern = full + u"\\*";
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    const std::u16string name = data.cFileName;
    if (name == u"." || name == u"..") continue;
    const bool link = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) &&
                      data.dwReserved0 == platform::IO_REPARSE_TAG_SYMLINK;
    if (link) continue;
    found = HoldsServerOnlyData(manager, full + u"\\" + name,
                                (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (!found && platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  return found;
}

// Moves the item back where the host still has it, when it cannot stand on
// its own under the new name: data the server holds only under the old one
// could never be read there nor offered to the host as new. Only the item
// itself goes back (its identity still names the old path; records not yet
// handled may show that it moved on, or that another took the name). Its
// records then show it where the cache knows it, as it was: nothing to report.
bool MoveBack(Engine& engine, const std::u16string& root, const std::u16string& source, const std::u16string& target,
              bool is_dir) {
  PlaceholderManager* manager = engine.placeholder_manager.get();
  if (manager == nullptr) return false;
  std::u16string identity;
  if (!manager->GetItemIdByPath((root + target).c_str(), identity) ||
      !(identity == source || (is_dir && identity.empty())))
    return false;
  if (!HoldsServerOnlyData(*manager, root + target, is_dir)) return false;
  LogSink* sink = engine.diag.log_sink();
  if (Exists(root + source)) {
    LogF(sink, kLogWarning, u"'%s' holds data only the server has, under '%s', which is taken again: it stays",
         target, source);
    return false;
  }
  if (DoRenamePlaceholder(engine, target, source, false) != kOk) return false;
  LogF(sink, kLogWarning,
       u"The host refused to rename '%s' to '%s', and part of its data is only on the server: moved back", source,
       target);
  return true;
}

}  // namespace

void RefusedRename(Engine& engine, const std::u16string& root, const std::u16string& source,
                   const std::u16string& target, bool is_dir, int32_t answer) {
  // Not found: the host has nothing under the old name to go back to.
  if (answer != kErrItemNotFound && MoveBack(engine, root, source, target, is_dir)) return;
  // The host keeps the old name: the item here is not what it has.
  SetTreeNotInSync(engine, root, target, is_dir);
}

}  // namespace corvane
