#include "platform/threads.h"

#include "platform/windows/win32.h"

namespace corvane::platform {

struct NativeThread::Impl {
  HANDLE thread = nullptr;
  std::function<void()> body;
};

namespace {

::DWORD WINAPI RunBody(void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
  return 0;
}

}  // namespace

NativeThread::NativeThread() = default;
NativeThread::~NativeThread() { Join(); }

DWORD NativeThread::Start(size_t stack_size, std::function<void()> body) {
  if (started_) return ERROR_INVALID_PARAMETER;
  impl_ = std::make_unique<Impl>();
  impl_->body = std::move(body);
  // A reservation, not a commitment: the setting sizes the address range,
  // and the system rounds a small one up to its minimum.
  impl_->thread = ::CreateThread(nullptr, stack_size, &RunBody, &impl_->body,
                                 stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (impl_->thread == nullptr) {
    const DWORD error = ::GetLastError();
    impl_.reset();
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  started_ = true;
  return 0;
}

void NativeThread::Join() {
  if (!started_) return;
  ::WaitForSingleObject(impl_->thread, INFINITE);
  ::CloseHandle(impl_->thread);
  started_ = false;
  impl_.reset();
}

uint64_t TickCount64() { return ::GetTickCount64(); }

}  // namespace corvane::platform
