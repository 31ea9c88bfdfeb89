#include "load_host.h"

#include <algorithm>
#include <cstring>

#include "halvex/corvane.h"

namespace load {
namespace {

constexpr int64_t kFileTime = 133000000000000000;  // 2022
constexpr size_t kPutBytes = 1u << 20;

intptr_t Ptr(const void* p) { return reinterpret_cast<intptr_t>(p); }
int64_t Int64At(intptr_t slot) { return slot != 0 ? *reinterpret_cast<const int64_t*>(slot) : 0; }
std::string TextAt(intptr_t slot) { return slot != 0 ? reinterpret_cast<const char*>(slot) : ""; }

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

void FillContent(uint32_t seed, uint64_t offset, char* out, size_t length) {
  const uint64_t base = static_cast<uint64_t>(seed) << 40;
  size_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t word = Mix(base + at / 8);
    const size_t skip = at % 8;
    const size_t take = std::min<size_t>(8 - skip, length - done);
    std::memcpy(out + done, reinterpret_cast<const char*>(&word) + skip, take);
    done += take;
  }
}

LoadHost::LoadHost(const std::string& root) : root_(root) {
  handle_ = Halvex_Corvane_Create(&LoadHost::Sink, this, nullptr, 0);
  Halvex_Corvane_Set(handle_, HALVEX_PROP_SYNC_ROOT_PATH, 0, Ptr(root_.c_str()), 0);
}

LoadHost::~LoadHost() {
  if (handle_ != nullptr) Halvex_Corvane_Destroy(handle_);
}

int32_t LoadHost::Do(int32_t method, intptr_t* params, int32_t count) {
  std::vector<int32_t> sizes(static_cast<size_t>(std::max(count, 1)), 0);
  return Halvex_Corvane_Do(handle_, method, count, params, sizes.data(), nullptr);
}

int32_t LoadHost::Config(const std::string& setting) {
  intptr_t params[2] = {Ptr(setting.c_str()), 0};
  return Do(HALVEX_METHOD_CONFIG, params, 2);
}

int32_t LoadHost::Start() {
  for (const auto& [folder, entries] : tree_) {
    for (const RemoteEntry& entry : entries) {
      if (!entry.folder) files_[(folder == "\\" ? "" : folder) + "\\" + entry.name] = &entry;
    }
  }
  intptr_t none[1] = {0};
  int32_t rc = Do(HALVEX_METHOD_INSTALL, none, 0);
  if (rc != 0) return rc;
  intptr_t synchronous[1] = {1};
  return Do(HALVEX_METHOD_ACTIVATE, synchronous, 1);
}

int32_t LoadHost::Stop() {
  intptr_t none[1] = {0};
  const int32_t rc = Do(HALVEX_METHOD_DEACTIVATE, none, 0);
  Do(HALVEX_METHOD_UNINSTALL, none, 0);
  return rc;
}

std::string LoadHost::LastError() { return Halvex_Corvane_GetLastError(handle_); }

std::map<ChangeKey, ChangeRecord> LoadHost::Changes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

void LoadHost::ClearChanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  changes_.clear();
  change_events_ = 0;
}

std::vector<std::string> LoadHost::FirstWarnings() {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_warnings_;
}

std::vector<std::string> LoadHost::FirstErrors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_errors_;
}

int32_t LoadHost::OnGetFileData(int64_t task, const std::string& path, int64_t offset, int64_t length) {
  const auto it = files_.find(path);
  if (it == files_.end() || offset < 0 || length < 0 || offset > it->second->size) {
    ++host_failures_;
    return HALVEX_ERR_ITEM_NOT_FOUND;
  }
  const RemoteEntry& file = *it->second;
  const int64_t end = std::min(file.size, offset + length);
  std::vector<char> buffer(std::min<size_t>(kPutBytes, static_cast<size_t>(end - offset)));
  for (int64_t at = offset; at < end;) {
    const size_t count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), end - at));
    FillContent(file.seed, static_cast<uint64_t>(at), buffer.data(), count);
    intptr_t params[4] = {Ptr(&task), Ptr(buffer.data()), 0, static_cast<intptr_t>(count)};
    int32_t sizes[4] = {0, static_cast<int32_t>(count), 0, 0};
    const int32_t rc = Halvex_Corvane_Do(handle_, HALVEX_METHOD_PUT_ITEM_DATA, 4, params, sizes, nullptr);
    if (rc != 0) {
      ++host_failures_;
      return rc;
    }
    bytes_served_ += static_cast<int64_t>(count);
    at += static_cast<int64_t>(count);
  }
  intptr_t finish[2] = {Ptr(&task), 0};
  return Do(HALVEX_METHOD_FINALIZE_TASK, finish, 2);
}

int32_t LoadHost::OnListDirectory(int64_t task, const std::string& folder) {
  const auto it = tree_.find(folder);
  if (it == tree_.end()) return 0;  // a folder the host does not know is empty remotely
  int64_t time = kFileTime;
  for (const RemoteEntry& entry : it->second) {
    int64_t size = entry.size;
    int32_t rc;
    if (entry.folder) {
      intptr_t params[6] = {Ptr(&task), Ptr(entry.name.c_str()), 0, Ptr(&time), Ptr(&time), Ptr(&time)};
      rc = Do(HALVEX_METHOD_LIST_FOLDER, params, 6);
    } else {
      intptr_t params[7] = {Ptr(&task), Ptr(entry.name.c_str()), 0, Ptr(&size), Ptr(&time), Ptr(&time), Ptr(&time)};
      rc = Do(HALVEX_METHOD_LIST_FILE, params, 7);
    }
    if (rc != 0) {
      ++host_failures_;
      return rc;
    }
    ++items_listed_;
  }
  return 0;
}

void LoadHost::Count(int32_t id, const std::string& path, const std::string& new_path, int64_t size,
                     int32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  ChangeRecord& record = changes_[ChangeKey{id, path}];
  ++record.count;
  record.new_path = new_path;
  record.size = size;
  record.update_flags = flags;
  ++change_events_;
}

int32_t LoadHost::Sink(void* context, int32_t id, int32_t count, intptr_t* p, int32_t*) {
  auto* self = static_cast<LoadHost*>(context);
  switch (id) {
    case HALVEX_EVENT_LOG: {
      // Failures and warnings (the host asks for nothing finer) say why a
      // phase went wrong: a lost notification queue, a refused item.
      const std::string line = TextAt(p[1]);
      if (line.find("buffer overflow") != std::string::npos) ++self->overflows_;
      if (static_cast<int32_t>(p[0]) > HALVEX_LOG_WARNING) return 0;
      ++self->warnings_;
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->first_warnings_.size() < 5) self->first_warnings_.push_back(line);
      return 0;
    }
    case HALVEX_EVENT_ERROR: {
      ++self->errors_;
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->first_errors_.size() < 5) {
        self->first_errors_.push_back(std::to_string(static_cast<int32_t>(p[0])) + " " + TextAt(p[1]));
      }
      return 0;
    }
    case HALVEX_EVENT_GET_FILE_DATA:
      p[4] = self->OnGetFileData(Int64At(p[0]), TextAt(p[1]), Int64At(p[2]), Int64At(p[3]));
      return 0;
    case HALVEX_EVENT_LIST_DIRECTORY:
      p[3] = self->OnListDirectory(Int64At(p[0]), TextAt(p[1]));
      return 0;
    case HALVEX_EVENT_CREATE_FILE:
      self->Count(id, TextAt(p[1]), "", Int64At(p[3]), 0);
      break;
    case HALVEX_EVENT_UPDATE_FILE:
      self->Count(id, TextAt(p[1]), "", Int64At(p[4]), static_cast<int32_t>(p[2]));
      break;
    case HALVEX_EVENT_UPDATE_FOLDER:
      self->Count(id, TextAt(p[1]), "", -1, static_cast<int32_t>(p[2]));
      break;
    case HALVEX_EVENT_RENAME_FILE:
    case HALVEX_EVENT_RENAME_FOLDER:
      self->Count(id, TextAt(p[1]), TextAt(p[2]), -1, 0);
      break;
    case HALVEX_EVENT_CREATE_FOLDER:
    case HALVEX_EVENT_DELETE_FILE:
    case HALVEX_EVENT_DELETE_FOLDER:
      self->Count(id, TextAt(p[1]), "", -1, 0);
      break;
    default:
      return 0;  // CancelTask, ResetFile: nothing to answer
  }
  // Every counted event is a task event whose last slot is its ResultCode.
  p[count - 1] = 0;
  return 0;
}

}  // namespace load
