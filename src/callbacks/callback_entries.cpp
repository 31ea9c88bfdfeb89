// The functions the platform calls: each hands its callback, typed by the
// function it came through, to the dispatcher.
#include "callbacks/callback_entries.h"

#include "callbacks/callback_dispatch.h"
#include "callbacks/fetch_data.h"

namespace corvane {

using namespace platform;

namespace {

template <CF_CALLBACK_TYPE kType>
void Entry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* params) {
  DispatchPlaceholderCallback(kType, info, params);
}

}  // namespace

// Delete and rename stay without functions: the watcher sees those changes.
const PlaceholderCallbackEntries& ProviderCallbackEntries() {
  static const PlaceholderCallbackEntries entries = [] {
    PlaceholderCallbackEntries e;
    e.fetch_data = Entry<CF_CALLBACK_TYPE_FETCH_DATA>;
    e.validate_data = Entry<CF_CALLBACK_TYPE_VALIDATE_DATA>;
    e.cancel_fetch_data = Entry<CF_CALLBACK_TYPE_CANCEL_FETCH_DATA>;
    e.fetch_placeholders = Entry<CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS>;
    e.cancel_fetch_placeholders = Entry<CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS>;
    e.dehydrate = Entry<CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE>;
    e.dehydrate_completion = Entry<CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION>;
    e.open_completion = Entry<CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION>;
    e.close_completion = Entry<CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION>;
    return e;
  }();
  return entries;
}

namespace {

class Callbacks final : public PlatformRequests {
 public:
  const PlaceholderCallbackEntries& CallbackEntries() const override { return ProviderCallbackEntries(); }
  int32_t FlushTransfer(Engine& engine, Task& task, bool final) const override {
    return corvane::FlushTransfer(engine, task, final);
  }
  void AbandonFetch(Engine& engine, Task& task, int32_t code) const override {
    corvane::AbandonFetch(engine, task, code);
  }
  void CloseFetch(Engine& engine, Task& task) const override { corvane::CloseFetch(engine, task); }
  void ReleaseFetchContext(Engine& engine, Task& task) const override { corvane::ReleaseFetchContext(engine, task); }
  bool InsidePlatformCallback(const Engine& engine) const override { return corvane::InsidePlatformCallback(engine); }
};

}  // namespace

const PlatformRequests& CallbackPlatformRequests() {
  static const Callbacks callbacks;
  return callbacks;
}

}  // namespace corvane
