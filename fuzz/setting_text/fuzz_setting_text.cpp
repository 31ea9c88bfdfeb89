// Config texts as a host writes them ("Name=Value", "Name", "Name[3]=Value"),
// in 8-bit and UTF-16 form, through Halvex_Corvane_Do.
#include <cstdint>
#include <cstring>
#include <string>

#include "common/fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  void* handle = corvane::fuzz::Component(false);
  if (size == 0) return 0;
  const bool wide = (data[0] & 1) != 0;
  ++data;
  --size;
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  std::string narrow(reinterpret_cast<const char*>(data), size);
  std::u16string utf16(size / 2, u'\0');
  std::memcpy(utf16.data(), data, utf16.size() * 2);
  params[0] = wide ? reinterpret_cast<intptr_t>(utf16.c_str()) : reinterpret_cast<intptr_t>(narrow.c_str());
  const int32_t rc = Halvex_Corvane_Do(handle, HALVEX_METHOD_CONFIG + (wide ? HALVEX_ID_WIDE : 0), 2, params, sizes,
                                       nullptr);
  // The answer is the component's own text; read it whole.
  if (rc == 0 && params[1] != 0) {
    if (wide) {
      const auto* answer = reinterpret_cast<const char16_t*>(params[1]);
      size_t n = 0;
      while (answer[n] != 0) ++n;
    } else {
      (void)std::strlen(reinterpret_cast<const char*>(params[1]));
    }
  }
  (void)Halvex_Corvane_GetLastError(handle);
  return 0;
}
