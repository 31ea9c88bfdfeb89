// Halvex_Corvane_Do on an active component with generated method IDs and
// argument slots. Each slot gets what its method reads there: a string the
// fuzzer owns (or null), an integer, a pointer to a 64-bit value it owns (or
// null), or a buffer it owns with a size no larger than the buffer. After
// every call nothing may exist beside the sync root.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "common/fuzz_host.h"

namespace {

// s string, i integer, l pointer to int64, b buffer with its size, w UTF-16
// output buffer counted in characters, o output slot.
struct MethodShape {
  int32_t id;
  const char* slots;
};

// Lifecycle methods are left out: they start and stop the engine the other
// calls need, and Config has its own target.
constexpr MethodShape kMethods[] = {
    {HALVEX_METHOD_CREATE_FILE, "sillll"},      {HALVEX_METHOD_CREATE_FOLDER, "silll"},
    {HALVEX_METHOD_DELETE_FILE, "s"},           {HALVEX_METHOD_DELETE_FOLDER, "si"},
    {HALVEX_METHOD_FINALIZE_TASK, "li"},        {HALVEX_METHOD_GET_FILE_ATTRIBUTES, "si"},
    {HALVEX_METHOD_GET_LOCAL_FILE_DATA, "llbiii"}, {HALVEX_METHOD_GET_FILE_STATUS, "si"},
    {HALVEX_METHOD_GET_FOLDER_ATTRIBUTES, "si"}, {HALVEX_METHOD_GET_FOLDER_STATUS, "si"},
    {HALVEX_METHOD_LIST_FILE, "lsillll"},       {HALVEX_METHOD_LIST_FOLDER, "lsilll"},
    {HALVEX_METHOD_PIN_FILE, "s"},              {HALVEX_METHOD_PIN_FOLDER, "s"},
    {HALVEX_METHOD_PUT_ITEM_DATA, "lbii"},      {HALVEX_METHOD_RENAME_FILE, "ssi"},
    {HALVEX_METHOD_RENAME_FOLDER, "ss"},        {HALVEX_METHOD_RESET_FILE, "s"},
    {HALVEX_METHOD_RESET_FOLDER, "s"},          {HALVEX_METHOD_SET_FILE_ATTRIBUTES, "si"},
    {HALVEX_METHOD_SET_FOLDER_ATTRIBUTES, "si"}, {HALVEX_METHOD_SYNC_FILE, "s"},
    {HALVEX_METHOD_UNPIN_FILE, "s"},            {HALVEX_METHOD_UNPIN_FOLDER, "s"},
    {HALVEX_METHOD_UPDATE_FILE, "sillll"},      {HALVEX_METHOD_UPDATE_FOLDER, "silll"},
    {HALVEX_METHOD_TO_WIDE_STRING, "bwo"},      {1, "ii"},
    {33, "ssss"},                               {9999, "ii"},
};

constexpr int kSlots = 8;

// Storage that outlives one call.
struct Owned {
  std::deque<std::string> narrow;
  std::deque<std::u16string> wide;
  std::deque<int64_t> numbers;
  std::deque<std::vector<uint8_t>> buffers;
};

intptr_t StringSlot(FuzzedDataProvider& in, bool wide, Owned& owned) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) return 0;
  std::string bytes = in.ConsumeRandomLengthString(80);
  if (!wide) {
    owned.narrow.push_back(bytes);
    return reinterpret_cast<intptr_t>(owned.narrow.back().c_str());
  }
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  owned.wide.push_back(text);
  return reinterpret_cast<intptr_t>(owned.wide.back().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* handle = corvane::fuzz::Component(true);
  FuzzedDataProvider in(data, size);
  Owned owned;
  while (in.remaining_bytes() > 0) {
    const MethodShape& method = in.PickValueInArray(kMethods);
    const bool wide = in.ConsumeBool();
    intptr_t params[kSlots] = {};
    int32_t sizes[kSlots] = {};
    int count = 0;
    for (const char* kind = method.slots; *kind != 0; ++kind, ++count) {
      switch (*kind) {
        case 's':
          params[count] = StringSlot(in, wide, owned);
          break;
        case 'i':
          params[count] = static_cast<intptr_t>(in.ConsumeIntegral<int64_t>());
          break;
        case 'l':
          if (in.ConsumeBool()) {
            owned.numbers.push_back(in.ConsumeIntegral<int64_t>());
            params[count] = reinterpret_cast<intptr_t>(&owned.numbers.back());
          }
          break;
        case 'b':
        case 'w': {
          const size_t unit = *kind == 'w' ? 2 : 1;
          const size_t length = in.ConsumeIntegralInRange<size_t>(0, 4096);
          if (in.ConsumeIntegralInRange(0, 7) == 0) {
            sizes[count] = static_cast<int32_t>(length);  // null buffer with a size
            break;
          }
          std::vector<uint8_t> buffer = in.ConsumeBytes<uint8_t>(length * unit);
          buffer.resize(length * unit + unit);  // room for a terminator the fuzzer does not count
          owned.buffers.push_back(std::move(buffer));
          params[count] = reinterpret_cast<intptr_t>(owned.buffers.back().data());
          sizes[count] = static_cast<int32_t>(in.ConsumeIntegralInRange<size_t>(0, length));
          break;
        }
        default:
          break;
      }
    }
    // ToWideString checks its count and writes slot 2 with a count of 2, so
    // it keeps the full arrays. The others get arrays exactly as long as the
    // count, sometimes shorter than the method needs: a sanitizer build then
    // sees any slot read past what the host passed.
    const int32_t id = method.id + (wide ? HALVEX_ID_WIDE : 0);
    if (method.id == HALVEX_METHOD_TO_WIDE_STRING) {
      if (in.ConsumeBool()) count = 2;
      Halvex_Corvane_Do(handle, id, count, params, sizes, nullptr);
    } else {
      if (count > 0 && in.ConsumeIntegralInRange(0, 7) == 0) count = in.ConsumeIntegralInRange(0, count - 1);
      std::vector<intptr_t> exact_params(params, params + count);
      std::vector<int32_t> exact_sizes(sizes, sizes + count);
      Halvex_Corvane_Do(handle, id, count, exact_params.data(), exact_sizes.data(), nullptr);
    }
    (void)Halvex_Corvane_GetLastError(handle);
    if (!corvane::fuzz::NothingOutsideRoot()) std::abort();
  }
  return 0;
}
