// The state files of earlier versions, each kind in its own line format,
// read into the records the current readers take. Nothing writes them any
// more: a store that changes is written in the current format.
#include <string>
#include <string_view>

#include "platform/local/record_file.h"
#include "support/utf.h"

namespace corvane::platform::local {
namespace {

// Splits into lines; a last line without a newline counts.
template <typename Each>
bool ForEachLine(std::string_view content, Each each) {
  while (!content.empty()) {
    const size_t end = content.find('\n');
    if (!each(content.substr(0, end))) return false;
    if (end == std::string_view::npos) break;
    content.remove_prefix(end + 1);
  }
  return true;
}

// Splits "a\tb\tc" into exactly three parts.
bool SplitThree(std::string_view line, std::string_view parts[3]) {
  const size_t tab1 = line.find('\t');
  const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string_view::npos) return false;
  parts[0] = line.substr(0, tab1);
  parts[1] = line.substr(tab1 + 1, tab2 - tab1 - 1);
  parts[2] = line.substr(tab2 + 1);
  return true;
}

// The old line escape: '%', tab, CR and LF as %XX.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::string byte;
    if (text[i] == '%' && i + 2 < text.size() && HexDecode(text.substr(i + 1, 2), byte)) {
      out += byte;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// "corvane-syncroot 1", then key=value lines with the texts in hex.
bool ReadSyncRoot(std::string_view content, std::vector<Record>& records) {
  constexpr std::string_view kHeader = "corvane-syncroot 1\n";
  if (content.substr(0, kHeader.size()) != kHeader) return false;
  Record record;
  const bool ok = ForEachLine(content.substr(kHeader.size()), [&](std::string_view line) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return true;
    const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    std::string bytes;
    if (key == "root" || key == "name" || key == "version" || key == "identity") {
      if (!HexDecode(value, bytes)) return key != "root";
      record.Set(key, bytes);
    } else {
      record.Set(key, value);
    }
    return true;
  });
  if (!ok || !record.Find("root")) return false;
  records.push_back(std::move(record));
  return true;
}

// Key=value lines, values with the old line escape.
bool ReadShell(std::string_view content, std::vector<Record>& records) {
  Record record;
  const bool ok = ForEachLine(content, [&](std::string_view line) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    record.Set(line.substr(0, eq), Unescape(line.substr(eq + 1)));
    return true;
  });
  if (!ok) return false;
  if (!record.fields().empty()) records.push_back(std::move(record));
  return true;
}

// One value a line: type, name (UTF-16LE bytes in hex), data in hex.
bool ReadRegistry(std::string_view content, std::vector<Record>& records) {
  return ForEachLine(content, [&](std::string_view line) {
    std::string_view parts[3];
    std::string name_bytes, data, name;
    if (!SplitThree(line, parts) || !HexDecode(parts[1], name_bytes) || name_bytes.size() % 2 ||
        !HexDecode(parts[2], data))
      return false;
    std::u16string name16(name_bytes.size() / 2, u'\0');
    for (size_t i = 0; i < name16.size(); ++i)
      name16[i] = static_cast<char16_t>(static_cast<unsigned char>(name_bytes[2 * i]) |
                                        static_cast<unsigned char>(name_bytes[2 * i + 1]) << 8);
    // A name the current format cannot hold as UTF-8 keeps its value under
    // a replacement-character name rather than losing the whole key.
    if (!Utf16ToUtf8(name16, name)) name = Utf16ToUtf8Lossy(name16);
    Record record;
    record.Set("type", parts[0]);
    record.Set("name", name);
    record.Set("data", data);
    records.push_back(std::move(record));
    return true;
  });
}

// One rule a line: include flag, follow flags, URL with the old line escape.
bool ReadSearch(std::string_view content, std::vector<Record>& records) {
  return ForEachLine(content, [&](std::string_view line) {
    std::string_view parts[3];
    if (!SplitThree(line, parts)) return false;
    Record record;
    record.Set("include", parts[0]);
    record.Set("flags", parts[1]);
    record.Set("url", Unescape(parts[2]));
    records.push_back(std::move(record));
    return true;
  });
}

}  // namespace

bool ReadLegacyRecords(std::string_view content, std::string_view kind, std::vector<Record>& records) {
  records.clear();
  bool ok = false;
  if (kind == "syncroot") ok = ReadSyncRoot(content, records);
  else if (kind == "shell") ok = ReadShell(content, records);
  else if (kind == "registry") ok = ReadRegistry(content, records);
  else if (kind == "search") ok = ReadSearch(content, records);
  if (!ok) records.clear();
  return ok;
}

}  // namespace corvane::platform::local
