// printf-style formatting of UTF-16 messages with typed arguments, so a log
// call can never read an argument of the wrong type off a variadic list.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvane {

class FormatArg {
 public:
  enum class Kind { kInt32, kUint32, kInt64, kUint64, kString };

  // Any integer type (int32_t, uint32_t, int64_t, uint64_t, size_t, long
  // long, ...), so no call is ambiguous on any platform.
  template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  FormatArg(T v) : kind_(KindOf<T>()), int_(static_cast<int64_t>(v)) {}
  FormatArg(std::u16string_view v) : kind_(Kind::kString), str_(v) {}
  FormatArg(const std::u16string& v) : kind_(Kind::kString), str_(v) {}
  // A null pointer formats as "(null)", as the platform's formatter does.
  FormatArg(const char16_t* v) : kind_(Kind::kString), str_(v ? std::u16string_view(v) : u"(null)") {}

  Kind kind() const { return kind_; }
  bool is_string() const { return kind_ == Kind::kString; }
  int64_t as_int64() const { return int_; }
  std::u16string_view as_string() const { return str_; }

 private:
  template <class T>
  static constexpr Kind KindOf() {
    if constexpr (sizeof(T) > 4) return std::is_signed_v<T> ? Kind::kInt64 : Kind::kUint64;
    else return std::is_signed_v<T> ? Kind::kInt32 : Kind::kUint32;
  }

  Kind kind_;
  int64_t int_ = 0;
  std::u16string_view str_;
};

// The longest text a formatted message or log line may have.
constexpr size_t kMaxFormattedLength = 1024;

// Directives: %s (UTF-16 string), %d, %i, %u, %x, %X with optional zero
// padding and width (%08x), the h (16-bit) and I64/ll (64-bit) sizes, %%.
// A directive without a matching argument is copied as it stands.
std::u16string FormatV(std::u16string_view format, std::initializer_list<FormatArg> args);

template <class... A>
std::u16string Format(std::u16string_view format, const A&... args) {
  return FormatV(format, {FormatArg(args)...});
}

}  // namespace corvane
