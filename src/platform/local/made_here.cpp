#include "platform/local/made_here.h"

#include <atomic>
#include <chrono>
#include <map>
#include <utility>

#include "support/mutex.h"

namespace corvane::platform::local {
namespace {

// A creation record is read within moments; a note nobody took (its folder
// not watched) must not linger or grow without end. A listing of 100,000
// items is made faster than the watch reads its records: its notes all fit
// (some 25 MiB at most, for moments).
constexpr int64_t kLifetimeMs = 10000;
constexpr size_t kMaxNotes = size_t{1} << 17;

struct Note {
  LocalItem item;
  int64_t made_ms = 0;
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<int> open_watches{0};
Mutex notes_mutex;
std::map<std::pair<int64_t, std::string>, Note> notes GUARDED_BY(notes_mutex);

}  // namespace

bool MadeHereWanted() { return open_watches.load(std::memory_order_relaxed) > 0; }
void OpenedWatch() { open_watches.fetch_add(1); }
void ClosedWatch() { open_watches.fetch_sub(1); }

void NoteMadeHere(int64_t folder_id, const std::string& name, const LocalItem& item) {
  const int64_t now = NowMs();
  MutexLock lock(notes_mutex);
  if (notes.size() >= kMaxNotes) {
    std::erase_if(notes, [now](const auto& entry) { return now - entry.second.made_ms > kLifetimeMs; });
    if (notes.size() >= kMaxNotes) notes.clear();  // ids unknown: judged as before
  }
  notes[{folder_id, name}] = {item, now};
}

bool TakeMadeHere(int64_t folder_id, const std::string& name, LocalItem& item) {
  MutexLock lock(notes_mutex);
  if (notes.empty()) return false;
  const auto it = notes.find({folder_id, name});
  if (it == notes.end()) return false;
  const bool fresh = NowMs() - it->second.made_ms <= kLifetimeMs;
  if (fresh) item = std::move(it->second.item);
  notes.erase(it);
  return fresh;
}

void ForgetMadeHere(int64_t folder_id, const std::string& name) {
  MutexLock lock(notes_mutex);
  notes.erase({folder_id, name});
}

}  // namespace corvane::platform::local
