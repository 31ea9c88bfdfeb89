#include "support/setting_text.h"

#include <limits>

namespace corvane {
namespace {

int32_t ParseIndex(std::string_view text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return -1;
  int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) return -1;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

SettingRequest ParseSettingText(std::string_view text) {
  SettingRequest request;
  bool in_index = false;
  size_t pos = 0;
  for (; pos < text.size() && text[pos] != '='; ++pos) {
    char c = text[pos];
    if (!in_index) {
      if (c == '[' || c == '(') {
        in_index = true;
        request.index_text.clear();
      } else {
        request.name.push_back(c);
      }
    } else if (c == ']' || c == ')') {
      in_index = false;
      request.index = ParseIndex(request.index_text);
    } else {
      request.index_text.push_back(c);
    }
  }

  // A query name and the name of an empty write are used exactly as typed;
  // only a write with a value gets its name trimmed.
  if (pos == text.size()) {
    request.is_query = true;
    return request;
  }
  if (pos + 1 == text.size()) return request;

  request.name = std::string(TrimSpaces(request.name));
  std::string_view value = TrimSpaces(text.substr(pos + 1));
  // Quotes keep inner spaces; a backslash is an ordinary character, so
  // Windows paths need no escaping.
  if (!value.empty() && value.front() == '"') {
    value.remove_prefix(1);
    if (!value.empty() && value.back() == '"') value.remove_suffix(1);
  }
  request.value = std::string(value);
  return request;
}

}  // namespace corvane
