// CreateFileInt and UpdateFileInt: check the item, record it in the metadata
// cache and hand the placeholder work over.
#include "engine/item_operations_create_update.h"

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/item_properties.h"
#include "engine/task_cancel.h"
#include "halvex/corvane.h"
#include "provider/create_update.h"
#include "support/sync_root_path.h"

namespace corvane {

namespace {

// Splits "\a\b" into "\a" and "b"; the root's items have the folder "\".
// A path that could leave the sync root is not split at all.
bool ExtractFileDirAndName(std::u16string_view path, std::u16string& folder, std::u16string& name) {
  if (path.size() < 2 || path.front() != u'\\' || !IsSafeRelativePath(path)) return false;
  const size_t last = path.find_last_of(u'\\');
  if (last + 1 >= path.size()) return false;
  folder.assign(last == 0 ? std::u16string_view(u"\\") : path.substr(0, last));
  name.assign(path.substr(last + 1));
  return true;
}

}  // namespace

int32_t CreateFileInt(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags,
                      int64_t* converted_usn) {
  if (converted_usn != nullptr) *converted_usn = 0;
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"CreateFileInt LocalPath(%s)", local_path);
  LogItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time);
  if (int32_t rc = CheckItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time, flags);
      rc != kOk) {
    LogF(sink, kLogVerbose, u"CheckItemProperties returned error 0x%x when called by CreateFileInt for '%s'",
         static_cast<uint32_t>(rc), local_path);
    return engine.diag.Record(rc, ResultMessage(rc));
  }
  const std::u16string path = NormalizeSeparators(local_path);
  const bool update = (flags & HALVEX_FLAG_FORCE_UPDATE) != 0;
  LogF(sink, kLogVerbose, update ? u"UpdateLocalFile LocalPath '%s', Attributes %x" : u"CreateLocalFile LocalPath '%s', Attributes %x",
       path, static_cast<uint32_t>(attributes));
  std::u16string folder;
  std::u16string name;
  if (!ExtractFileDirAndName(path, folder, name)) {
    LogF(sink, kLogVerbose, u"ExtractFileDirAndName failed for LocalPath '%s'", path);
    return engine.diag.Record(kErrInvalidParameter, "The LocalPath parameter could not be parsed");
  }
  // A create that fails must not leave the cache describing an item that is
  // not there, nor a known item as the host was never told of it (an item
  // gone before it could be converted keeps what the host has).
  bool added = false;
  CacheItem before;
  if (!update) {
    LogF(sink, kLogVerbose, u"Add information about item '%s' to metadata cache", path);
    added = !engine.metadata_cache.Lookup(path, &before, nullptr);
    engine.metadata_cache.AddNewItemToCache(path, name, static_cast<uint32_t>(attributes), size, creation_time,
                                            last_access_time, last_write_time);
  }
  const int32_t result = DoCreateOrUpdatePlaceholder(engine, folder, name, path, size, creation_time,
                                                     last_access_time, last_write_time, attributes, flags,
                                                     converted_usn);
  if (result == kOk) return kOk;
  if (added) {
    engine.metadata_cache.Remove(path, false);
  } else if (!update) {
    engine.metadata_cache.PutBack(path, before);
  }
  if (engine.diag.LastErrorCode() == result) return result;
  return engine.diag.Record(result, ResultMessage(result));
}

int32_t UpdateFileInt(Engine& engine, std::u16string_view local_path, int32_t attributes, int64_t size,
                      int64_t creation_time, int64_t last_access_time, int64_t last_write_time, int32_t flags) {
  LogSink* sink = engine.diag.log_sink();
  LogF(sink, kLogVerbose, u"UpdateFileInt LocalPath('%s')", local_path);
  LogItemProperties(sink, attributes, size, creation_time, last_access_time, last_write_time);
  const std::u16string path = NormalizeSeparators(local_path);
  // The host's new version replaces whatever transfer was under way.
  if ((flags & HALVEX_FLAG_KEEP_TASKS) == 0) CancelTransferByPath(engine, path, -1);
  return CreateFileInt(engine, path, attributes, size, creation_time, last_access_time, last_write_time,
                       flags | HALVEX_FLAG_FORCE_UPDATE | HALVEX_FLAG_UPDATE_CALL);
}

int32_t ConvertLocalItem(Engine& engine, std::u16string_view path, int32_t attributes, int64_t size,
                         int64_t creation_time, int64_t last_access_time, int64_t last_write_time, bool in_sync) {
  return CreateFileInt(engine, path, attributes, size, creation_time, last_access_time, last_write_time,
                       (in_sync ? HALVEX_FLAG_MARK_SYNCED : 0) | kFlagOnlyWhatIsOnDisk);
}

}  // namespace corvane
