// Halvex_Corvane_Set and Get with generated property IDs: string properties
// get the fuzzer's own 8-bit or UTF-16 text (or null), the others integers;
// every string the component hands back is read whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fuzz_host.h"

namespace {

constexpr int32_t kBaseIds[] = {0, 1, 2, 3, 4, 5, 8000, 6, -1};

bool IsStringProperty(int32_t base) { return base >= 3 && base <= 5; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* handle = corvane::fuzz::Component(false);
  FuzzedDataProvider in(data, size);
  while (in.remaining_bytes() > 0) {
    const int32_t base = in.PickValueInArray(kBaseIds);
    const int32_t form = in.ConsumeIntegralInRange(0, 2);  // 8-bit, UTF-16, alias above 20000
    const int32_t id = base + form * 10000;
    const bool wide = form == 1;
    if (in.ConsumeBool()) {
      std::string narrow = in.ConsumeRandomLengthString(96);
      std::u16string utf16(narrow.size() / 2, u'\0');
      std::memcpy(utf16.data(), narrow.data(), utf16.size() * 2);
      intptr_t value = in.ConsumeIntegral<int64_t>();
      if (IsStringProperty(base)) {
        value = in.ConsumeBool() ? 0
                : wide           ? reinterpret_cast<intptr_t>(utf16.c_str())
                                 : reinterpret_cast<intptr_t>(narrow.c_str());
      }
      Halvex_Corvane_Set(handle, id, in.ConsumeIntegral<int32_t>(), value, in.ConsumeIntegral<int32_t>());
    } else {
      int32_t length = 0;
      int64_t value64 = 0;
      const intptr_t got = Halvex_Corvane_Get(handle, id, 0, &length, &value64);
      if (got != 0 && (IsStringProperty(base) || base == 0)) {
        if (wide && base != 0) {
          const auto* text = reinterpret_cast<const char16_t*>(got);
          size_t n = 0;
          while (text[n] != 0) ++n;
        } else {
          (void)std::strlen(reinterpret_cast<const char*>(got));
        }
      }
    }
    (void)Halvex_Corvane_CheckIndex(handle, id, in.ConsumeIntegral<int32_t>());
  }
  if (!corvane::fuzz::NothingOutsideRoot()) std::abort();
  return 0;
}
