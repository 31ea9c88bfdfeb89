#include "provider/item_identity.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/types.h"

namespace corvane {
namespace {

// The time follows the id's NUL as four UTF-16 units.
constexpr size_t kTimeUnits = sizeof(int64_t) / sizeof(char16_t);
// The most a placeholder stores (the platform's limit, in UTF-16 units).
constexpr size_t kMostUnits = 4096 / sizeof(char16_t);

}  // namespace

int64_t IdentityTime() {
  static std::atomic<int64_t> last{0};
  using namespace std::chrono;
  const int64_t now =
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + platform::kFileTimeUnixEpoch;
  int64_t seen = last.load();
  int64_t next;
  do {
    next = now > seen ? now : seen + 1;
  } while (!last.compare_exchange_weak(seen, next));
  return next;
}

ItemIdentity::ItemIdentity(std::u16string_view item_id, int64_t since, uint16_t marks) {
  blob_.reserve(item_id.size() + 2 + kTimeUnits);
  blob_.append(item_id);
  blob_.push_back(u'\0');
  // An id that leaves no room goes without its time, as before times were kept.
  if (blob_.size() + kTimeUnits > kMostUnits) return;
  char16_t time[kTimeUnits];
  std::memcpy(time, &since, sizeof since);
  blob_.append(time, kTimeUnits);
  if (marks != 0 && blob_.size() < kMostUnits) blob_.push_back(static_cast<char16_t>(marks));
}

void ItemIdentity::Parse(const char16_t* stored, size_t units, std::u16string& item_id, int64_t& since,
                         uint16_t* marks) {
  since = 0;
  if (marks != nullptr) *marks = 0;
  item_id.assign(stored, units);
  const size_t end = item_id.find(u'\0');
  if (end == std::u16string::npos) return;
  const size_t after = units - end - 1;
  if (after == kTimeUnits || after == kTimeUnits + 1) std::memcpy(&since, stored + end + 1, sizeof since);
  if (marks != nullptr && after == kTimeUnits + 1) *marks = static_cast<uint16_t>(stored[end + 1 + kTimeUnits]);
  item_id.resize(end);
}

}  // namespace corvane
