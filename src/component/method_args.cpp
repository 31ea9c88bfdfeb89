#include "component/method_args.h"

#include "component/strings.h"
#include "diag/result_codes.h"

namespace corvane {

int32_t MethodArgs::Int(int i) const { return static_cast<int32_t>(static_cast<uint64_t>(Slot(i)) & 0xFFFFFFFFu); }

int64_t MethodArgs::Int64(int i) const {
  const int64_t* value = Pointer<const int64_t>(i);
  return value ? *value : 0;
}

int32_t MethodArgs::String(int i, std::u16string& out) const {
  if (wide_) {
    out.assign(WideArg(Pointer<const char16_t>(i)));
    return kOk;
  }
  return NarrowToWide(code_page_, Pointer<const char>(i), out);
}

void MethodArgs::SetInt(int i, int32_t value) const {
  if (params_ == nullptr) return;
  uint64_t slot = static_cast<uint64_t>(params_[i]);
  slot = (slot & ~uint64_t{0xFFFFFFFFu}) | static_cast<uint32_t>(value);
  params_[i] = static_cast<intptr_t>(slot);
}

void MethodArgs::SetSlot(int i, intptr_t value) const {
  if (params_ != nullptr) params_[i] = value;
}

}  // namespace corvane
