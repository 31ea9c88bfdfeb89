// The one format of the local platform's own state files: sync-root
// registrations, shell records, registry values and search rules.
//
//   corvane-records 1 <kind>
//   key=value
//   key=value
//
//   key=value
//
// The first line names the format, its version and what the file holds.
// Records are separated by an empty line; each field is one "key=value" line.
// A value is any bytes: '%' and control bytes are written as %XX, so text
// stays readable and binary data (registry values) fits. Readers ignore keys
// they do not know, so a later version may add fields. Files are replaced
// atomically, so a reader never sees a part of one.
//
// Files written before this format existed are still read (see
// record_file_legacy.cpp) and are rewritten in this format the next time
// they change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::platform::local {

class Record {
 public:
  // Replaces the field's value, or appends the field.
  void Set(std::string_view key, std::string_view value);
  void SetNumber(std::string_view key, uint64_t value);
  void SetSigned(std::string_view key, int64_t value);

  // Null when the record has no such field.
  const std::string* Find(std::string_view key) const;
  // A missing field leaves `value` as it is and is no failure; a field that
  // is present but not a number (in range) is.
  bool Number(std::string_view key, uint32_t& value) const;
  bool Signed(std::string_view key, int64_t& value) const;
  // UTF-8 value as UTF-16; missing gives empty. False for ill-formed UTF-8.
  bool Text(std::string_view key, std::u16string& value) const;

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

std::string WriteRecords(std::string_view kind, const std::vector<Record>& records);
// False when `content` is neither this format for `kind` nor an older file
// of that kind, or is damaged.
bool ReadRecords(std::string_view content, std::string_view kind, std::vector<Record>& records);

// The file forms of the two above. A missing file reads as no records when
// `missing_is_empty`; otherwise it is a failure with errno ENOENT.
bool SaveRecordFile(const std::string& path, std::string_view kind, const std::vector<Record>& records);
bool LoadRecordFile(const std::string& path, std::string_view kind, std::vector<Record>& records,
                    bool missing_is_empty);

// Lower-case hex of bytes, and back (false for odd length or a non-digit).
std::string HexEncode(std::string_view bytes);
bool HexDecode(std::string_view hex, std::string& bytes);

// Reads a file written before the format above existed into records with
// the keys the current readers use. Defined in record_file_legacy.cpp.
bool ReadLegacyRecords(std::string_view content, std::string_view kind, std::vector<Record>& records);

}  // namespace corvane::platform::local
