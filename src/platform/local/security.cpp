#include "platform/security.h"

#include <unistd.h>

#include <string>

namespace corvane::platform {

// Unix users map to "S-1-22-1-<uid>", the form Windows and Samba use for
// them. The effective uid is the user whose rights the process runs with,
// like the effective token on Windows; reading it cannot fail.
DWORD GetCurrentUserSidString(std::u16string& sid) {
  const std::string text = "S-1-22-1-" + std::to_string(static_cast<unsigned long>(geteuid()));
  sid.assign(text.begin(), text.end());
  return ERROR_SUCCESS;
}

}  // namespace corvane::platform
