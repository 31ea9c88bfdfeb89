#include "platform/per_thread.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/thread_exit.h"

namespace corvane {
namespace {

using per_thread_detail::Table;

class CleanupRegistry {
 public:
  void Add(Table* table) {
    MutexLock lock(mu_);
    tables_.push_back(table);
  }
  void Remove(Table* table) {
    MutexLock lock(mu_);
    tables_.erase(std::remove(tables_.begin(), tables_.end(), table), tables_.end());
  }
  // The registry lock keeps every listed table alive while its entry for
  // the ending thread is dropped.
  void DropThread(uint64_t key) {
    MutexLock lock(mu_);
    for (Table* table : tables_) table->DropThread(key);
  }

 private:
  Mutex mu_;
  std::vector<Table*> tables_ GUARDED_BY(mu_);
};

// Never destroyed: threads may still end while statics are torn down.
std::atomic<CleanupRegistry*> registry{nullptr};

CleanupRegistry& Registry() {
  CleanupRegistry* current = registry.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto* fresh = new CleanupRegistry();
  if (registry.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;  // another thread won the race
  return *current;
}

std::atomic<uint64_t> next_thread_key{1};

void DropEndingThread(uint64_t key) { Registry().DropThread(key); }

thread_local const uint64_t this_thread_key = next_thread_key.fetch_add(1);

}  // namespace

void EnsureThreadCleanupRegistry() { Registry(); }

namespace per_thread_detail {

uint64_t CurrentThreadKey(bool arm) {
  // Armed once the thread stores anything; runs when the thread ends.
  if (arm) {
    thread_local bool armed = false;
    if (!armed) {
      armed = true;
      platform::ArmThreadExit(&DropEndingThread, this_thread_key);
    }
  }
  return this_thread_key;
}

void Register(Table* table) { Registry().Add(table); }
void Unregister(Table* table) { Registry().Remove(table); }

}  // namespace per_thread_detail
}  // namespace corvane
