#include "provider/callback_params.h"

#include <limits>
#include <new>
#include <type_traits>

namespace corvane {

using platform::E_INVALIDARG;
using platform::E_OUTOFMEMORY;
using platform::FAILED;
using platform::SUCCEEDED;
using platform::S_FALSE;
using platform::S_OK;

namespace {

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Text to a number the way the variant conversion reads it: blanks around,
// an optional sign, decimal digits. Magnitude kept apart so that the full
// uint64 range and the int64 minimum both parse.
HRESULT ParseInteger(const std::u16string& text, bool& negative, uint64_t& magnitude) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && (text[i] == u' ' || text[i] == u'\t')) ++i;
  negative = false;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  const size_t digits_start = i;
  magnitude = 0;
  bool overflow = false;
  for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const uint64_t digit = text[i] - u'0';
    if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    magnitude = magnitude * 10 + digit;
  }
  if (i == digits_start) return DISP_E_TYPEMISMATCH;
  while (i < n && (text[i] == u' ' || text[i] == u'\t')) ++i;
  if (i != n) return DISP_E_TYPEMISMATCH;
  return overflow ? DISP_E_OVERFLOW : S_OK;
}

template <class T>
HRESULT FromSignedParts(bool negative, uint64_t magnitude, T& out) {
  if (negative) {
    if constexpr (std::is_unsigned_v<T>) {
      if (magnitude != 0) return DISP_E_OVERFLOW;
      out = 0;
      return S_OK;
    } else {
      const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1;
      if (magnitude > limit) return DISP_E_OVERFLOW;
      out = magnitude == limit ? std::numeric_limits<T>::min() : static_cast<T>(-static_cast<int64_t>(magnitude));
      return S_OK;
    }
  }
  if (magnitude > static_cast<uint64_t>(std::numeric_limits<T>::max())) return DISP_E_OVERFLOW;
  out = static_cast<T>(magnitude);
  return S_OK;
}

template <class T>
HRESULT FromSigned(int64_t v, T& out) {
  const uint64_t magnitude = v < 0 ? 0ull - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  return FromSignedParts(v < 0, magnitude, out);
}

template <class T>
HRESULT ConvertToInteger(const CallbackValue& value, T& out) {
  if (const auto* v = std::get_if<int32_t>(&value.data)) return FromSigned(*v, out);
  if (const auto* v = std::get_if<int64_t>(&value.data)) return FromSigned(*v, out);
  if (const auto* v = std::get_if<uint64_t>(&value.data)) return FromSignedParts(false, *v, out);
  if (const auto* v = std::get_if<std::u16string>(&value.data)) {
    bool negative = false;
    uint64_t magnitude = 0;
    const HRESULT hr = ParseInteger(*v, negative, magnitude);
    if (hr != S_OK) return hr;
    return FromSignedParts(negative, magnitude, out);
  }
  return DISP_E_TYPEMISMATCH;
}

std::u16string DecimalText(bool negative, uint64_t magnitude) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.insert(digits.begin(), u'-');
  return digits;
}

HRESULT ConvertToString(const CallbackValue& value, std::u16string& out) {
  if (const auto* v = std::get_if<std::u16string>(&value.data)) {
    out = *v;
    return S_OK;
  }
  int64_t signed_value = 0;
  if (const auto* v = std::get_if<int32_t>(&value.data)) signed_value = *v;
  else if (const auto* v = std::get_if<int64_t>(&value.data)) signed_value = *v;
  else if (const auto* v = std::get_if<uint64_t>(&value.data)) {
    out = DecimalText(false, *v);
    return S_OK;
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  const uint64_t magnitude =
      signed_value < 0 ? 0ull - static_cast<uint64_t>(signed_value) : static_cast<uint64_t>(signed_value);
  out = DecimalText(signed_value < 0, magnitude);
  return S_OK;
}

// Absent, Empty and Null all read as "nothing there".
bool HoldsNothing(const CallbackValue& value) {
  return std::holds_alternative<CallbackValue::Empty>(value.data) ||
         std::holds_alternative<CallbackValue::Null>(value.data);
}

}  // namespace

bool CallbackParams::NameLess::operator()(const std::u16string& a, const std::u16string& b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = FoldAscii(a[i]);
    const char16_t y = FoldAscii(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

HRESULT CallbackParams::SetValue(const char16_t* name, const CallbackValue& value) {
  if (name == nullptr) return E_INVALIDARG;
  try {
    std::u16string key(name);
    CallbackValue copy = value;
    MutexLock lock(mu_);
    // erase first so that the stored name takes the caller's spelling
    values_.erase(key);
    values_.emplace(std::move(key), std::move(copy));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CallbackParams::SetInt32(const char16_t* name, int32_t value) { return SetValue(name, CallbackValue{value}); }
HRESULT CallbackParams::SetInt64(const char16_t* name, int64_t value) { return SetValue(name, CallbackValue{value}); }
HRESULT CallbackParams::SetUInt64(const char16_t* name, uint64_t value) { return SetValue(name, CallbackValue{value}); }

HRESULT CallbackParams::SetPointer(const char16_t* name, const void* value) {
  return SetUInt64(name, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)));
}

HRESULT CallbackParams::SetString(const char16_t* name, const char16_t* value) {
  if (value == nullptr) return SetValue(name, CallbackValue{CallbackValue::Null{}});
  try {
    return SetValue(name, CallbackValue{std::u16string(value)});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CallbackParams::Find(const char16_t* name, CallbackValue& value, bool& found) const {
  found = false;
  // Reads copy the name and the value; running out of memory there is an
  // answer, not an exception.
  try {
    const std::u16string key(name);
    MutexLock lock(mu_);
    const auto it = values_.find(key);
    if (it == values_.end()) return S_OK;
    value = it->second;
    found = true;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

namespace {

template <class T>
HRESULT ReadInteger(bool found, const CallbackValue& value, T* out) {
  *out = 0;
  if (!found || HoldsNothing(value)) return S_FALSE;
  T converted = 0;
  const HRESULT hr = ConvertToInteger(value, converted);
  if (hr != S_OK) return hr;
  *out = converted;
  return S_OK;
}

}  // namespace

template <class T>
HRESULT CallbackParams::GetInteger(const char16_t* name, T* value) const {
  if (name == nullptr || value == nullptr) return E_INVALIDARG;
  CallbackValue stored;
  bool found = false;
  const HRESULT hr = Find(name, stored, found);
  if (FAILED(hr)) return hr;
  return ReadInteger(found, stored, value);
}

HRESULT CallbackParams::GetInt32(const char16_t* name, int32_t* value) const {
  return GetInteger(name, value);
}

HRESULT CallbackParams::GetInt64(const char16_t* name, int64_t* value) const {
  return GetInteger(name, value);
}

HRESULT CallbackParams::GetUInt64(const char16_t* name, uint64_t* value) const {
  return GetInteger(name, value);
}

HRESULT CallbackParams::GetPointer(const char16_t* name, void** value) const {
  if (value == nullptr) return E_INVALIDARG;
  uint64_t raw = 0;
  const HRESULT hr = GetUInt64(name, &raw);
  *value = hr == S_OK ? reinterpret_cast<void*>(static_cast<uintptr_t>(raw)) : nullptr;
  return hr;
}

HRESULT CallbackParams::GetString(const char16_t* name, std::u16string* value) const {
  if (name == nullptr || value == nullptr) return E_INVALIDARG;
  value->clear();
  CallbackValue stored;
  bool found = false;
  const HRESULT hr = Find(name, stored, found);
  if (FAILED(hr)) return hr;
  if (!found || HoldsNothing(stored)) return S_FALSE;
  try {
    return ConvertToString(stored, *value);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

bool CallbackParams::Contains(const char16_t* name) const {
  if (name == nullptr) return false;
  CallbackValue ignored;
  bool found = false;
  return SUCCEEDED(Find(name, ignored, found)) && found;
}

size_t CallbackParams::size() const {
  MutexLock lock(mu_);
  return values_.size();
}

}  // namespace corvane
