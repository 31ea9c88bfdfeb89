// The text of one Config call ("Name=Value", "Name", "Name[3]=Value") split
// into its parts. Parsing never fails: whatever the host passes becomes a
// request, and an odd name simply matches no key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

struct SettingRequest {
  std::string name;
  std::string value;        // empty for a query
  std::string index_text;   // text inside [] or () after the name
  int32_t index = -1;       // index_text as a number, -1 when absent or not a number
  bool is_query = false;    // no '=' in the text
};

SettingRequest ParseSettingText(std::string_view text);

}  // namespace corvane
