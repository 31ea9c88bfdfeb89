#include "downloads.h"

#include <algorithm>
#include <memory>

#include "console.h"
#include "native.h"
#include "server_paths.h"

namespace mirror {
namespace {

// Bytes handed to PutItemData at a time. The library passes data on to the
// platform in its own chunk size, so this only bounds the mirror's buffer.
constexpr int32_t kChunk = 256 * 1024;
// Transfers at least this long get progress lines.
constexpr int64_t kProgressFrom = 1024 * 1024;

}  // namespace

Downloads::Downloads(Component& component, std::string server_root, int workers)
    : component_(component), server_root_(std::move(server_root)), worker_count_(workers) {}

Downloads::~Downloads() { Stop(); }

void Downloads::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  for (int i = 0; i < worker_count_; ++i) workers_.emplace_back([this] { Work(); });
}

void Downloads::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  // Tasks nobody picked up: the deactivation has cancelled them already, or
  // the library ends them when it is destroyed.
  queue_.clear();
}

void Downloads::Enqueue(int64_t task, const std::string& path, int64_t offset, int64_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({task, path, offset, length});
  }
  wake_.notify_one();
}

void Downloads::Cancel(int64_t task) {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_.insert(task);
}

bool Downloads::Cancelled(int64_t task) {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_ || cancelled_.count(task) > 0;
}

void Downloads::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    Transfer(job);
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.erase(job.task);
  }
}

void Downloads::Transfer(const Job& job) {
  const std::string shown = "/" + job.path;
  InputFile file;
  if (!file.Open(JoinPath(server_root_, job.path))) {
    Complain("download of %s failed: the server cannot read it (%s)", shown.c_str(), file.error().c_str());
    // A failed task makes the application's read fail instead of waiting.
    component_.FinalizeTask(job.task, file.missing() ? HALVEX_ERR_ITEM_NOT_FOUND : HALVEX_ERR_BACKEND);
    return;
  }
  const int64_t end = std::min<int64_t>(file.size(), job.offset + job.length);
  const int64_t total = std::max<int64_t>(0, end - job.offset);
  if (total >= kProgressFrom) Say("downloading %s (%s)", shown.c_str(), HumanSize(total).c_str());

  std::unique_ptr<char[]> buffer(new char[kChunk]);
  int64_t sent = 0;
  int32_t result = 0;
  int next_quarter = 1;
  while (sent < total) {
    if (Cancelled(job.task)) {
      result = HALVEX_ERR_CANCELLED;
      break;
    }
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(kChunk, total - sent));
    const int64_t got = file.ReadAt(job.offset + sent, buffer.get(), want);
    if (got <= 0) {
      Complain("download of %s failed: %s", shown.c_str(), got < 0 ? file.error().c_str() : "the file became shorter");
      result = HALVEX_ERR_BACKEND;
      break;
    }
    if (const int32_t rc = component_.PutItemData(job.task, buffer.get(), static_cast<int32_t>(got))) {
      // Cancelled by the platform, or the provider was deactivated meanwhile.
      Say("download of %s stopped: %s", shown.c_str(), component_.LastError().c_str());
      return;
    }
    sent += got;
    if (total >= kProgressFrom && sent * 4 >= total * next_quarter && sent < total) {
      Say("  %s: %s of %s (%d%%)", shown.c_str(), HumanSize(sent).c_str(), HumanSize(total).c_str(),
          static_cast<int>(sent * 100 / total));
      while (sent * 4 >= total * next_quarter) ++next_quarter;
    }
  }
  if (result == HALVEX_ERR_CANCELLED) {
    Say("download of %s cancelled", shown.c_str());
    return;  // the library has ended the task itself
  }
  if (const int32_t rc = component_.FinalizeTask(job.task, result)) {
    Say("download of %s could not be finished: %s", shown.c_str(), component_.LastError().c_str());
    return;
  }
  if (result == 0) Say("downloaded %s (%s)", shown.c_str(), HumanSize(total).c_str());
}

}  // namespace mirror
