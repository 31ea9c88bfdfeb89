// The named parameters of one platform callback and the answers built from
// them. Values are copied in, so the callback's own memory may go away once
// they are stored; every read and write holds the record's lock, because the
// dispatcher, the host's method threads and the watcher may share a record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "platform/types.h"
#include "support/mutex.h"

namespace corvane {

using platform::HRESULT;

// The conversion failures of the value types, in the numbering of the
// platform's variant conversions.
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);

// One stored value. `Empty` reads like an absent name; `Null` is a null
// string (a callback parameter that carried no text).
struct CallbackValue {
  struct Empty {};
  struct Null {};
  std::variant<Empty, Null, int32_t, int64_t, uint64_t, std::u16string> data;
};

class CallbackParams {
 public:
  CallbackParams() = default;
  CallbackParams(const CallbackParams&) = delete;
  CallbackParams& operator=(const CallbackParams&) = delete;

  // Setters store a copy under `name` (replacing any value of that name in
  // any letter case). E_INVALIDARG for a null name.
  HRESULT SetInt32(const char16_t* name, int32_t value);
  HRESULT SetInt64(const char16_t* name, int64_t value);
  HRESULT SetUInt64(const char16_t* name, uint64_t value);
  // Buffers and identities travel as pointer-sized unsigned integers.
  HRESULT SetPointer(const char16_t* name, const void* value);
  // A null string is stored as Null.
  HRESULT SetString(const char16_t* name, const char16_t* value);
  HRESULT SetValue(const char16_t* name, const CallbackValue& value);

  // Typed reads: S_OK with the converted value; S_FALSE with 0 (or an empty
  // string) when the name is absent or its value is Empty or Null; the
  // conversion's failure (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW) otherwise;
  // E_INVALIDARG for a null name or output.
  HRESULT GetInt32(const char16_t* name, int32_t* value) const;
  HRESULT GetInt64(const char16_t* name, int64_t* value) const;
  HRESULT GetUInt64(const char16_t* name, uint64_t* value) const;
  HRESULT GetPointer(const char16_t* name, void** value) const;
  HRESULT GetString(const char16_t* name, std::u16string* value) const;

  bool Contains(const char16_t* name) const;
  size_t size() const;

 private:
  struct NameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
  };

  // Copies the value of `name` out under the lock.
  HRESULT Find(const char16_t* name, CallbackValue& value, bool& found) const;
  // The typed integer reads share one lookup and conversion.
  template <class T>
  HRESULT GetInteger(const char16_t* name, T* value) const;

  mutable Mutex mu_;
  std::map<std::u16string, CallbackValue, NameLess> values_ GUARDED_BY(mu_);
};

}  // namespace corvane
