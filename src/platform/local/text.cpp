// Code pages through glibc's iconv, keyed by the Windows code-page number.
#include "platform/text.h"

#include <errno.h>
#include <iconv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/errors.h"
#include "platform/types.h"
#include "support/utf.h"

namespace corvane::platform {
namespace {

constexpr uint32_t kAnsiCodePage = 1252;

const char* IconvName(uint32_t code_page) {
  switch (code_page) {
    case 437: return "CP437";
    case 850: return "CP850";
    case 866: return "CP866";
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 10000: return "MACINTOSH";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 50220: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    default: return nullptr;
  }
}

uint32_t Resolve(uint32_t code_page) { return code_page == CP_ACP ? kAnsiCodePage : code_page; }

// Converts all of `in` or fails; an irreversible (lossy) step fails too.
bool RunIconv(const char* to, const char* from, const char* in, size_t in_bytes, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  out.assign(in_bytes * 4 + 16, '\0');
  char* src = const_cast<char*>(in);
  size_t src_left = in_bytes;
  char* dst = out.data();
  size_t dst_left = out.size();
  bool ok = true;
  while (src_left > 0) {
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        const size_t used = out.size() - dst_left;
        out.resize(out.size() * 2);
        dst = out.data() + used;
        dst_left = out.size() - used;
        continue;
      }
      ok = false;  // EILSEQ or EINVAL: a sequence that does not map
      break;
    }
    if (r > 0) {
      ok = false;
      break;
    }
  }
  if (ok) {
    // Flush shift state (stateful encodings such as ISO-2022-JP).
    if (iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) ok = false;
  }
  iconv_close(cd);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  out.resize(out.size() - dst_left);
  return true;
}

bool ToUtf16(uint32_t code_page, std::string_view in, std::u16string& out) {
  if (code_page == CP_UTF8) {
    if (!Utf8ToUtf16(in, out)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return false;
    }
    return true;
  }
  const char* name = IconvName(code_page);
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string bytes;
  if (!RunIconv("UTF-16LE", name, in.data(), in.size(), bytes)) return false;
  out.resize(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return true;
}

bool FromUtf16(uint32_t code_page, std::u16string_view in, std::string& out) {
  if (code_page == CP_UTF8) {
    if (!Utf16ToUtf8(in, out)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return false;
    }
    return true;
  }
  const char* name = IconvName(code_page);
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return RunIconv(name, "UTF-16LE", reinterpret_cast<const char*>(in.data()), in.size() * 2, out);
}

template <class Out>
int32_t Deliver(const Out& converted, typename Out::value_type* out, int32_t out_len) {
  if (converted.size() > INT32_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto n = static_cast<int32_t>(converted.size());
  if (out_len == 0) return n;
  if (out_len < n) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size() * sizeof(typename Out::value_type));
  return n;
}

}  // namespace

int32_t MultiByteToWideChar(uint32_t code_page, const char* in, int32_t in_len, char16_t* out,
                            int32_t out_len) {
  if (in == nullptr || in_len == 0 || in_len < -1 || out_len < 0 || (out_len > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t len = in_len == -1 ? std::strlen(in) + 1 : static_cast<size_t>(in_len);
  std::u16string converted;
  if (!ToUtf16(Resolve(code_page), std::string_view(in, len), converted)) return 0;
  return Deliver(converted, out, out_len);
}

int32_t WideCharToMultiByte(uint32_t code_page, const char16_t* in, int32_t in_len, char* out,
                            int32_t out_len) {
  if (in == nullptr || in_len == 0 || in_len < -1 || out_len < 0 || (out_len > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t len =
      in_len == -1 ? std::char_traits<char16_t>::length(in) + 1 : static_cast<size_t>(in_len);
  std::string converted;
  if (!FromUtf16(Resolve(code_page), std::u16string_view(in, len), converted)) return 0;
  return Deliver(converted, out, out_len);
}

bool IsCodePageSupported(uint32_t code_page) {
  code_page = Resolve(code_page);
  return code_page == CP_UTF8 || IconvName(code_page) != nullptr;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

uint32_t AnsiCodePage() { return kAnsiCodePage; }

}  // namespace corvane::platform
