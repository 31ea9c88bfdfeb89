// Keeps the parts a method call uses alive while it runs: calls pass the
// gate, and whoever frees those parts closes it and waits for the calls
// inside to leave. A closed gate turns calls away at once.
#pragma once

#include <cstdint>

#include "support/mutex.h"

namespace corvane {

class CallGate {
 public:
  // Held for the length of one call; `entered()` is false when the gate was
  // closed, and then the call must not touch the guarded parts.
  class Pass {
   public:
    explicit Pass(CallGate& gate);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool entered() const { return entered_; }

   private:
    CallGate& gate_;
    bool entered_;
  };

  void Open();
  // Closes the gate and waits until every call inside has left, except the
  // calling thread's own (it cannot wait for itself).
  void CloseAndDrain();
  // Whether the calling thread is inside a call that passed this gate.
  bool HeldByThisThread() const;

 private:
  bool Enter();
  void Leave();

  Mutex mutex_;
  CondVar drained_;
  bool closed_ GUARDED_BY(mutex_) = false;
  int32_t inside_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvane
