// A sequence of Halvex_EvtStr operations on one host-owned record: reads in
// both encodings, references and copies of the fuzzer's own strings (and of
// the record's own text), in several code pages.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <deque>
#include <string>

#include "halvex/corvane.h"

namespace {

constexpr uint32_t kCodePages[] = {65001, 1252, 932, 936, 949, 950, 1251, 28591, 20127, 0, 12345};

size_t WideLength(const uint16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  HalvexEvtStr record{};
  record.code_page = in.PickValueInArray(kCodePages);
  // Referenced strings must outlive the record's use of them.
  std::deque<std::string> narrow_texts;
  std::deque<std::u16string> wide_texts;
  while (in.remaining_bytes() > 0) {
    const int32_t encoding = in.ConsumeBool() ? HALVEX_EVTSTR_NARROW : HALVEX_EVTSTR_WIDE;
    const bool narrow = encoding == HALVEX_EVTSTR_NARROW;
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: {
        const intptr_t text = Halvex_EvtStr(&record, HALVEX_EVTSTR_READ, nullptr, encoding);
        if (text != 0) {
          if (narrow) (void)std::string(reinterpret_cast<const char*>(text));
          else (void)WideLength(reinterpret_cast<const uint16_t*>(text));
        }
        break;
      }
      case 1:
      case 2: {
        const int32_t op = in.ConsumeBool() ? HALVEX_EVTSTR_SET_REF : HALVEX_EVTSTR_SET_COPY;
        void* value = nullptr;
        if (narrow) {
          narrow_texts.push_back(in.ConsumeRandomLengthString(64));
          value = narrow_texts.back().data();
        } else {
          const std::string bytes = in.ConsumeRandomLengthString(128);
          std::u16string text;
          for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
          wide_texts.push_back(text);
          value = wide_texts.back().data();
        }
        Halvex_EvtStr(&record, op, value, encoding);
        break;
      }
      case 3:
        // The record's own current text handed back to it.
        Halvex_EvtStr(&record, in.ConsumeBool() ? HALVEX_EVTSTR_SET_REF : HALVEX_EVTSTR_SET_COPY,
                      narrow ? static_cast<void*>(record.narrow) : static_cast<void*>(record.wide), encoding);
        break;
      case 4:
        Halvex_EvtStr(&record, HALVEX_EVTSTR_SET_COPY, nullptr, encoding);
        break;
      default:
        record.code_page = in.PickValueInArray(kCodePages);
        break;
    }
  }
  // Releases whatever the record owns.
  Halvex_EvtStr(&record, HALVEX_EVTSTR_SET_REF, nullptr, HALVEX_EVTSTR_NARROW);
  Halvex_EvtStr(&record, HALVEX_EVTSTR_SET_REF, nullptr, HALVEX_EVTSTR_WIDE);
  return 0;
}
