// The functions the platform calls: each copies its callback's parameters
// into a record and hands it to the dispatcher.
#include <memory>
#include <new>

#include "engine/engine_parts.h"
#include "provider/callback_dispatch.h"

namespace corvane {

using namespace platform;

namespace {

// A record with `fill` applied; null when a value could not be stored, and
// the dispatcher then refuses the callback.
template <class Fill>
std::unique_ptr<CallbackParams> MakeRecord(Fill fill) {
  std::unique_ptr<CallbackParams> params(new (std::nothrow) CallbackParams);
  if (params == nullptr) return nullptr;
  try {
    if (!fill(*params)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return params;
}

bool Ok(HRESULT hr) { return SUCCEEDED(hr); }

void FetchDataEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    const auto& f = p->FetchData;
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(f.Flags))) &&
           Ok(r.SetInt64(u"OptionalFileOffset", f.OptionalFileOffset)) &&
           Ok(r.SetInt64(u"OptionalLength", f.OptionalLength)) &&
           Ok(r.SetInt64(u"RequiredFileOffset", f.RequiredFileOffset)) &&
           Ok(r.SetInt64(u"RequiredLength", f.RequiredLength)) &&
           Ok(r.SetInt32(u"LastDehydrationReason", static_cast<int32_t>(f.LastDehydrationReason))) &&
           Ok(r.SetInt64(u"LastDehydrationTime", f.LastDehydrationTime));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_FETCH_DATA, info, p, params.release());
}

void ValidateDataEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    const auto& v = p->ValidateData;
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(v.Flags))) &&
           Ok(r.SetInt64(u"RequiredFileOffset", v.RequiredFileOffset)) &&
           Ok(r.SetInt64(u"RequiredLength", v.RequiredLength));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_VALIDATE_DATA, info, p, params.release());
}

void CancelFetchDataEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_CANCEL_FETCH_DATA, info, p, nullptr);
}

void FetchPlaceholdersEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->FetchPlaceholders.Flags))) &&
           Ok(r.SetString(u"Pattern", p->FetchPlaceholders.Pattern));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, info, p, params.release());
}

void CancelFetchPlaceholdersEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->Cancel.Flags))) &&
           Ok(r.SetInt64(u"FileOffset", p->Cancel.FetchData.FileOffset)) &&
           Ok(r.SetInt64(u"Length", p->Cancel.FetchData.Length));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS, info, p, params.release());
}

void OpenCompletionEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->OpenCompletion.Flags)));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION, info, p, params.get());
}

void CloseCompletionEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->CloseCompletion.Flags)));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION, info, p, params.get());
}

void DehydrateEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->Dehydrate.Flags))) &&
           Ok(r.SetInt32(u"Reason", static_cast<int32_t>(p->Dehydrate.Reason)));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE, info, p, params.release());
}

void DehydrateCompletionEntry(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* p) {
  auto params = MakeRecord([p](CallbackParams& r) {
    return Ok(r.SetInt32(u"Flags", static_cast<int32_t>(p->DehydrateCompletion.Flags))) &&
           Ok(r.SetInt32(u"Reason", static_cast<int32_t>(p->DehydrateCompletion.Reason)));
  });
  DispatchPlaceholderCallback(CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION, info, p, params.release());
}

}  // namespace

// Delete and rename stay without functions: the watcher sees those changes.
const PlaceholderCallbackEntries& ProviderCallbackEntries() {
  static const PlaceholderCallbackEntries entries = [] {
    PlaceholderCallbackEntries e;
    e.fetch_data = FetchDataEntry;
    e.validate_data = ValidateDataEntry;
    e.cancel_fetch_data = CancelFetchDataEntry;
    e.fetch_placeholders = FetchPlaceholdersEntry;
    e.cancel_fetch_placeholders = CancelFetchPlaceholdersEntry;
    e.dehydrate = DehydrateEntry;
    e.dehydrate_completion = DehydrateCompletionEntry;
    e.open_completion = OpenCompletionEntry;
    e.close_completion = CloseCompletionEntry;
    return e;
  }();
  return entries;
}

}  // namespace corvane
