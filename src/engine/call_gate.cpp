#include "engine/call_gate.h"

#include <algorithm>
#include <vector>

namespace corvane {
namespace {

// The gates the calling thread is inside, once per nesting level: a handler
// may call back into the component from inside a method.
std::vector<const CallGate*>& HeldGates() {
  thread_local std::vector<const CallGate*> held;
  return held;
}

int32_t HeldCount(const CallGate* gate) {
  const std::vector<const CallGate*>& held = HeldGates();
  return static_cast<int32_t>(std::count(held.begin(), held.end(), gate));
}

}  // namespace

CallGate::Pass::Pass(CallGate& gate) : gate_(gate), entered_(gate.Enter()) {}

CallGate::Pass::~Pass() {
  if (entered_) gate_.Leave();
}

bool CallGate::Enter() {
  {
    MutexLock lock(mutex_);
    if (closed_) return false;
    ++inside_;
  }
  HeldGates().push_back(this);
  return true;
}

void CallGate::Leave() {
  std::vector<const CallGate*>& held = HeldGates();
  held.erase(std::find(held.rbegin(), held.rend(), this).base() - 1);
  MutexLock lock(mutex_);
  --inside_;
  drained_.NotifyAll();
}

void CallGate::Open() {
  MutexLock lock(mutex_);
  closed_ = false;
}

void CallGate::CloseAndDrain() {
  const int32_t own = HeldCount(this);
  MutexLock lock(mutex_);
  closed_ = true;
  while (inside_ > own) drained_.Wait(mutex_);
}

bool CallGate::HeldByThisThread() const { return HeldCount(this) > 0; }

}  // namespace corvane
