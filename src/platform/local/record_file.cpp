#include "platform/local/record_file.h"

#include <cerrno>
#include <charconv>

#include "platform/local/state_dir.h"
#include "support/hex.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

constexpr std::string_view kMagic = "corvane-records 1 ";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ValidKey(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

void AppendValue(std::string& out, std::string_view value) {
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '%' || c < 0x20 || c == 0x7F) {
      out += '%';
      out += HexDigit(c >> 4);
      out += HexDigit(c);
    } else {
      out += ch;
    }
  }
}

bool DecodeValue(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

template <typename T>
bool ParseNumber(const std::string* text, T& value) {
  if (!text) return true;
  T parsed{};
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, parsed);
  if (text->empty() || ec != std::errc() || ptr != end) return false;
  value = parsed;
  return true;
}

}  // namespace

void Record::Set(std::string_view key, std::string_view value) {
  for (auto& field : fields_) {
    if (field.first == key) {
      field.second.assign(value);
      return;
    }
  }
  fields_.emplace_back(std::string(key), std::string(value));
}

void Record::SetNumber(std::string_view key, uint64_t value) { Set(key, std::to_string(value)); }

void Record::SetSigned(std::string_view key, int64_t value) { Set(key, std::to_string(value)); }

const std::string* Record::Find(std::string_view key) const {
  for (const auto& field : fields_)
    if (field.first == key) return &field.second;
  return nullptr;
}

bool Record::Number(std::string_view key, uint32_t& value) const { return ParseNumber(Find(key), value); }

bool Record::Signed(std::string_view key, int64_t& value) const { return ParseNumber(Find(key), value); }

bool Record::Text(std::string_view key, std::u16string& value) const {
  value.clear();
  const std::string* text = Find(key);
  return !text || Utf8ToUtf16(*text, value);
}

std::string WriteRecords(std::string_view kind, const std::vector<Record>& records) {
  std::string out(kMagic);
  out += kind;
  out += '\n';
  for (size_t i = 0; i < records.size(); ++i) {
    if (i) out += '\n';
    for (const auto& [key, value] : records[i].fields()) {
      out += key;
      out += '=';
      AppendValue(out, value);
      out += '\n';
    }
  }
  return out;
}

bool ReadRecords(std::string_view content, std::string_view kind, std::vector<Record>& records) {
  records.clear();
  const size_t first_end = content.find('\n');
  const std::string_view header = content.substr(0, first_end);
  if (header.substr(0, kMagic.size()) != kMagic) return ReadLegacyRecords(content, kind, records);
  if (header.substr(kMagic.size()) != kind || first_end == std::string_view::npos) return false;

  std::string_view rest = content.substr(first_end + 1);
  bool in_record = false;
  std::string value;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;  // every line ends with a newline
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (line.empty()) {
      if (!in_record) return false;
      in_record = false;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !ValidKey(line.substr(0, eq)) || !DecodeValue(line.substr(eq + 1), value))
      return false;
    if (!in_record) records.emplace_back();
    in_record = true;
    records.back().Set(line.substr(0, eq), value);
  }
  return true;
}

bool SaveRecordFile(const std::string& path, std::string_view kind, const std::vector<Record>& records) {
  return WriteFileAtomically(path, WriteRecords(kind, records));
}

bool LoadRecordFile(const std::string& path, std::string_view kind, std::vector<Record>& records,
                    bool missing_is_empty) {
  records.clear();
  std::string content;
  if (!ReadWholeFile(path, content)) return missing_is_empty && errno == ENOENT;
  if (ReadRecords(content, kind, records)) return true;
  errno = EINVAL;
  return false;
}

std::string HexEncode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += HexDigit(c >> 4);
    out += HexDigit(c);
  }
  return out;
}

bool HexDecode(std::string_view hex, std::string& bytes) {
  bytes.clear();
  if (hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

}  // namespace corvane::platform::local
