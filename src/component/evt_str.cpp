// Halvex_EvtStr: a host-owned record that hands one string over in the
// encoding the reader wants, converting lazily and owning what it converts.
#include <cstdlib>
#include <cstring>
#include <string>

#include "halvex/corvane.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace {

size_t WideLength(const uint16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void Clear(HalvexEvtStr* r) {
  if (r->flags & HALVEX_EVTSTR_OWNS_NARROW) std::free(r->narrow);
  if (r->flags & HALVEX_EVTSTR_OWNS_WIDE) std::free(r->wide);
  r->error = 0;
  r->narrow = nullptr;
  r->wide = nullptr;
  r->flags = 0;
}

void FailConversion(HalvexEvtStr* r) {
  const auto error = static_cast<int32_t>(corvane::platform::GetLastError());
  Clear(r);
  r->error = error != 0 ? error : 1113;
}

intptr_t ReadNarrow(HalvexEvtStr* r) {
  static char empty[1] = {0};
  if (r->error != 0) return 0;
  if (r->narrow != nullptr) return reinterpret_cast<intptr_t>(r->narrow);
  if (r->wide == nullptr) return 0;
  const size_t len = WideLength(r->wide);
  if (len == 0) return reinterpret_cast<intptr_t>(empty);
  std::string converted;
  const std::u16string_view in(reinterpret_cast<const char16_t*>(r->wide), len);
  if (!corvane::Utf16ToCodePage(r->code_page, in, converted)) {
    FailConversion(r);
    return 0;
  }
  auto* buffer = static_cast<char*>(std::calloc(converted.size() + 1, 1));
  if (buffer == nullptr) return 0;
  std::memcpy(buffer, converted.data(), converted.size());
  r->narrow = buffer;
  r->flags |= HALVEX_EVTSTR_OWNS_NARROW;
  return reinterpret_cast<intptr_t>(buffer);
}

intptr_t ReadWide(HalvexEvtStr* r) {
  static uint16_t empty[1] = {0};
  if (r->error != 0) return 0;
  if (r->wide != nullptr) return reinterpret_cast<intptr_t>(r->wide);
  if (r->narrow == nullptr) return 0;
  const size_t len = std::strlen(r->narrow);
  if (len == 0) return reinterpret_cast<intptr_t>(empty);
  std::u16string converted;
  if (!corvane::CodePageToUtf16(r->code_page, std::string_view(r->narrow, len), converted)) {
    FailConversion(r);
    return 0;
  }
  auto* buffer = static_cast<uint16_t*>(std::calloc(converted.size() + 2, sizeof(uint16_t)));
  if (buffer == nullptr) return 0;
  std::memcpy(buffer, converted.data(), converted.size() * sizeof(uint16_t));
  r->wide = buffer;
  r->flags |= HALVEX_EVTSTR_OWNS_WIDE;
  return reinterpret_cast<intptr_t>(buffer);
}

void SetNarrowRef(HalvexEvtStr* r, char* value) {
  if (value == r->narrow) return;
  Clear(r);
  r->narrow = value;
}

void SetWideRef(HalvexEvtStr* r, uint16_t* value) {
  if (value == r->wide) return;
  Clear(r);
  r->wide = value;
}

void SetNarrowCopy(HalvexEvtStr* r, const char* value) {
  if (value == r->narrow) return;
  if (value != nullptr && r->narrow != nullptr && std::strcmp(value, r->narrow) == 0) return;
  // Copy before clearing: the value may point into the text being freed.
  char* copy = nullptr;
  if (value != nullptr) {
    const size_t len = std::strlen(value);
    copy = static_cast<char*>(std::calloc(len + 1, 1));
    if (copy == nullptr) return;
    std::memcpy(copy, value, len);
  }
  Clear(r);
  if (copy != nullptr) {
    r->narrow = copy;
    r->flags |= HALVEX_EVTSTR_OWNS_NARROW;
  }
}

void SetWideCopy(HalvexEvtStr* r, const uint16_t* value) {
  if (value == r->wide) return;
  const size_t len = value != nullptr ? WideLength(value) : 0;
  if (value != nullptr && r->wide != nullptr && WideLength(r->wide) == len &&
      std::memcmp(value, r->wide, len * sizeof(uint16_t)) == 0) {
    return;
  }
  uint16_t* copy = nullptr;
  if (value != nullptr) {
    copy = static_cast<uint16_t*>(std::calloc(len + 1, sizeof(uint16_t)));
    if (copy == nullptr) return;
    std::memcpy(copy, value, len * sizeof(uint16_t));
  }
  Clear(r);
  if (copy != nullptr) {
    r->wide = copy;
    r->flags |= HALVEX_EVTSTR_OWNS_WIDE;
  }
}

}  // namespace

extern "C" HALVEX_API intptr_t Halvex_EvtStr(void* record, int32_t operation, void* value, int32_t encoding) {
  auto* r = static_cast<HalvexEvtStr*>(record);
  if (r == nullptr) return 0;
  const bool narrow = encoding == HALVEX_EVTSTR_NARROW;
  const bool wide = encoding == HALVEX_EVTSTR_WIDE;
  switch (operation) {
    case HALVEX_EVTSTR_READ:
      if (narrow) return ReadNarrow(r);
      if (wide) return ReadWide(r);
      return 0;
    case HALVEX_EVTSTR_SET_REF:
      if (narrow) SetNarrowRef(r, static_cast<char*>(value));
      if (wide) SetWideRef(r, static_cast<uint16_t*>(value));
      return 0;
    case HALVEX_EVTSTR_SET_COPY:
      if (narrow) SetNarrowCopy(r, static_cast<const char*>(value));
      if (wide) SetWideCopy(r, static_cast<const uint16_t*>(value));
      return 0;
    default:
      return 0;
  }
}
