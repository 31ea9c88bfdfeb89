// Reading and writing the argument slots of a method call: params holds one
// pointer-sized slot per argument, cbparams the byte sizes of buffer
// arguments. Missing arrays read as zero and ignore writes.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

class MethodArgs {
 public:
  // `wide`: strings are UTF-16; otherwise 8-bit in `code_page`.
  MethodArgs(intptr_t* params, int32_t* cbparams, bool wide, uint32_t code_page)
      : params_(params), cbparams_(cbparams), wide_(wide), code_page_(code_page) {}

  intptr_t Slot(int i) const { return params_ ? params_[i] : 0; }
  int32_t Size(int i) const { return cbparams_ ? cbparams_[i] : 0; }

  // The low 32 bits of the slot.
  int32_t Int(int i) const;
  // The slot points to a 64-bit value; a null pointer reads as 0.
  int64_t Int64(int i) const;
  // A NUL-terminated string in the call's form, null meaning empty. Returns
  // 0, or the conversion code (434) when an 8-bit string does not convert.
  int32_t String(int i, std::u16string& out) const;
  template <class T>
  T* Pointer(int i) const { return reinterpret_cast<T*>(Slot(i)); }

  // Writes the low 32 bits and keeps the upper half the host put there.
  void SetInt(int i, int32_t value) const;
  void SetSlot(int i, intptr_t value) const;

 private:
  intptr_t* params_;
  int32_t* cbparams_;
  bool wide_;
  uint32_t code_page_;
};

}  // namespace corvane
