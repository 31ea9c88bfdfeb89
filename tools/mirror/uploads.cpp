#include "uploads.h"

#include <filesystem>
#include <memory>

#include "console.h"
#include "native.h"

namespace mirror {
namespace {

constexpr int32_t kChunk = 256 * 1024;
constexpr int kMaxRetries = 3;
// UpdateFile's flag for "the file's content changed".
constexpr int32_t kContentChanged = 0x40;
constexpr int32_t kLastWriteChanged = 0x04;

std::filesystem::path Native(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }

bool MakeParents(const std::string& full_path) {
  std::error_code ec;
  std::filesystem::create_directories(Native(full_path).parent_path(), ec);
  return !ec;
}

}  // namespace

Uploads::Uploads(Component& component, ServerIndex& index, std::string server_root)
    : component_(component), index_(index), server_root_(std::move(server_root)) {}

void Uploads::Record(const std::string& path) {
  ServerItem item;
  if (StatItem(JoinPath(server_root_, path), item)) index_.RecordWrite(path, item);
}

void Uploads::Succeeded(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  retries_.erase(path);
}

int32_t Uploads::RetryOrFail(const std::string& path, const std::string& reason) {
  int attempt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    attempt = ++retries_[path];
    if (attempt > kMaxRetries) retries_.erase(path);
  }
  if (attempt <= kMaxRetries) {
    Say("upload of /%s failed (%s); the library will ask again (retry %d of %d)", path.c_str(), reason.c_str(),
        attempt, kMaxRetries);
    return HALVEX_ERR_RETRY;
  }
  Complain("upload of /%s failed (%s); giving up", path.c_str(), reason.c_str());
  const std::string text = "The server folder refused /" + path + ": " + reason;
  // The text reaches the library's Error event and log with the code.
  Halvex_Corvane_SetEventErrorAndCode(component_.handle(), HALVEX_ERR_BACKEND, text.c_str());
  return HALVEX_ERR_BACKEND;
}

int32_t Uploads::Upload(int64_t task, const std::string& path, const ItemTimes& times, const char* what) {
  const std::string target = JoinPath(server_root_, path);
  if (!MakeParents(target)) return RetryOrFail(path, "cannot create its folder on the server");
  ReplacementFile copy;
  if (!copy.Create(target, kUploadPrefix)) return RetryOrFail(path, copy.error());

  std::unique_ptr<char[]> buffer(new char[kChunk]);
  int64_t position = 0;
  int32_t result = 0;
  std::string failure;
  for (;;) {
    int32_t got = 0;
    result = component_.GetLocalFileData(task, position, buffer.get(), kChunk, &got);
    if (result != 0) {
      failure = "reading the local file: " + component_.LastError();
      break;
    }
    if (got == 0) break;  // end of the local file
    if (!copy.Write(buffer.get(), static_cast<size_t>(got))) {
      failure = copy.error();
      result = HALVEX_ERR_BACKEND;
      break;
    }
    position += got;
  }
  if (result == 0 && !copy.Commit()) {
    failure = copy.error();
    result = HALVEX_ERR_BACKEND;
  }
  if (result != 0) {
    // The local file vanished or changed under us: a later event brings the
    // new state, so a retry is the right answer for those too.
    return RetryOrFail(path, failure);
  }
  SetLastWriteTime(target, times.last_write);
  Record(path);
  Succeeded(path);
  Say("uploaded %s /%s (%s)", what, path.c_str(), HumanSize(position).c_str());
  return 0;
}

int32_t Uploads::CreateFile(int64_t task, const std::string& path, const ItemTimes& times) {
  return Upload(task, path, times, "new file");
}

int32_t Uploads::CreateFolder(const std::string& path) {
  const std::string target = JoinPath(server_root_, path);
  std::error_code ec;
  std::filesystem::create_directories(Native(target), ec);
  if (ec) return RetryOrFail(path, "cannot create the folder: " + ec.message());
  Record(path);
  Succeeded(path);
  Say("created folder /%s on the server", path.c_str());
  return 0;
}

int32_t Uploads::UpdateFile(int64_t task, const std::string& path, int32_t update_flags, int64_t size,
                            const ItemTimes& times) {
  if (update_flags & kContentChanged) return Upload(task, path, times, "change to");
  // The content flag is only given for files whose data is all on disk, so
  // a file caught half-way (written into while it became a placeholder) may
  // show its new content only as another size or last-write time. A file
  // that merely got its data from us keeps the server's size and time, and
  // one whose data is not all here has no content of its own to send: its
  // missing parts would reach the server as zeros.
  ServerItem item;
  if ((update_flags & kLastWriteChanged) &&
      (!StatItem(JoinPath(server_root_, path), item) || item.size != size ||
       item.times.last_write != times.last_write) &&
      component_.DataOnDisk(ToLibraryPath(path)))
    return Upload(task, path, times, "change to");
  return 0;  // attributes or other times only: nothing the server keeps
}

int32_t Uploads::Delete(const std::string& path, bool is_folder) {
  const std::string target = JoinPath(server_root_, path);
  std::error_code ec;
  const auto removed = std::filesystem::remove_all(Native(target), ec);
  if (ec) return RetryOrFail(path, "cannot delete it: " + ec.message());
  index_.RecordRemoval(path);
  Succeeded(path);
  if (removed == 0) Say("deleted /%s locally; the server did not have it", path.c_str());
  else Say("deleted %s /%s on the server", is_folder ? "folder" : "file", path.c_str());
  return 0;
}

int32_t Uploads::Rename(const std::string& from, const std::string& to, bool is_folder) {
  const std::string source = JoinPath(server_root_, from);
  const std::string target = JoinPath(server_root_, to);
  if (!Exists(source)) {
    if (Exists(target)) return 0;  // already there
    const std::string text = "/" + from + " is not on the server";
    Halvex_Corvane_SetEventErrorAndCode(component_.handle(), HALVEX_ERR_ITEM_NOT_FOUND, text.c_str());
    Complain("cannot rename /%s to /%s: %s", from.c_str(), to.c_str(), text.c_str());
    return HALVEX_ERR_ITEM_NOT_FOUND;
  }
  if (!MakeParents(target)) return RetryOrFail(from, "cannot create the target folder");
  if (!RenameItem(source, target)) return RetryOrFail(from, "rename failed: " + LastErrorText());
  index_.RecordRename(from, to);
  Succeeded(from);
  Say("renamed %s /%s to /%s on the server", is_folder ? "folder" : "file", from.c_str(), to.c_str());
  return 0;
}

}  // namespace mirror
