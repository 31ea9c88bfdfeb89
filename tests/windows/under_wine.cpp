#include "under_wine.h"

#include "platform/windows/win32.h"

namespace corvane::testing {

// Wine's ntdll exports its version; Windows' never does.
bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace corvane::testing
