#include "platform/local/handle_table.h"

#include <map>
#include <unistd.h>

#include "platform/errors.h"
#include "support/mutex.h"

namespace corvane::platform::local {
namespace {

struct Table {
  Mutex mutex;
  std::map<Handle, std::shared_ptr<OpenItem>> items GUARDED_BY(mutex);
  Handle next GUARDED_BY(mutex) = 0x1000;
};

Table& GetTable() {
  static Table* table = new Table();  // outlives static destructors of users
  return *table;
}

}  // namespace

OpenItem::~OpenItem() {
  if (fd >= 0) close(fd);
}

Handle RegisterHandle(std::shared_ptr<OpenItem> item) {
  Table& t = GetTable();
  MutexLock lock(t.mutex);
  const Handle h = t.next;
  t.next += 4;
  t.items.emplace(h, std::move(item));
  return h;
}

std::shared_ptr<OpenItem> LookupHandle(Handle handle, OpenItem::Kind kind) {
  Table& t = GetTable();
  MutexLock lock(t.mutex);
  auto it = t.items.find(handle);
  if (it == t.items.end() || it->second->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

std::shared_ptr<OpenItem> ReleaseHandle(Handle handle, OpenItem::Kind kind) {
  Table& t = GetTable();
  MutexLock lock(t.mutex);
  auto it = t.items.find(handle);
  if (it == t.items.end() || it->second->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto item = std::move(it->second);
  t.items.erase(it);
  return item;
}

}  // namespace corvane::platform::local
