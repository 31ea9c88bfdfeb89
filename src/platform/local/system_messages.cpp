// English texts of the Win32 error codes this library can report, as the
// system message table words them.
#include <cstdint>
#include <string>

#include "platform/text.h"

namespace corvane::platform {
namespace {

struct MessageEntry {
  uint32_t code;
  const char16_t* text;
};

constexpr MessageEntry kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {15, u"The system cannot find the drive specified.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {33, u"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, u"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n"},
    {1022,
     u"A notify change request is being completed and the information is not being returned in the caller's "
     u"buffer. The caller now needs to enumerate the files to find the changes.\r\n"},
    {1058,
     u"The service cannot be started, either because it is disabled or because it has no enabled devices "
     u"associated with it.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1359, u"An internal error occurred.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
};

}  // namespace

std::u16string SystemMessage(uint32_t error) {
  for (const auto& entry : kMessages) {
    if (entry.code == error) return entry.text;
  }
  return {};
}

}  // namespace corvane::platform
