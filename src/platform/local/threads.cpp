#include "platform/threads.h"

#include <limits.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>

#include "platform/local/errno_win32.h"

namespace corvane::platform {

struct NativeThread::Impl {
  pthread_t thread{};
  std::function<void()> body;
};

namespace {

void* RunBody(void* arg) {
  auto* impl = static_cast<std::function<void()>*>(arg);
  (*impl)();
  return nullptr;
}

}  // namespace

NativeThread::NativeThread() = default;
NativeThread::~NativeThread() { Join(); }

DWORD NativeThread::Start(size_t stack_size, std::function<void()> body) {
  if (started_) return ERROR_INVALID_PARAMETER;
  impl_ = std::make_unique<Impl>();
  impl_->body = std::move(body);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  int rc = 0;
  if (stack_size != 0) {
    if (stack_size < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_size = PTHREAD_STACK_MIN;
    rc = pthread_attr_setstacksize(&attr, stack_size);
  }
  if (rc == 0) rc = pthread_create(&impl_->thread, &attr, &RunBody, &impl_->body);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    impl_.reset();
    return local::Win32ErrorFromErrno(rc);
  }
  started_ = true;
  return 0;
}

void NativeThread::Join() {
  if (!started_) return;
  pthread_join(impl_->thread, nullptr);
  started_ = false;
  impl_.reset();
}

uint64_t TickCount64() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace corvane::platform
