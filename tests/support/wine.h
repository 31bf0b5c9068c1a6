// Whether the tests run under Wine rather than on Windows itself, for the
// few cases where Wine is known to behave differently; each such case says
// why when it is skipped.
#ifndef ZU_TESTS_SUPPORT_WINE_H
#define ZU_TESTS_SUPPORT_WINE_H

#ifdef _WIN32
#include <windows.h>
#endif

namespace zu {
namespace test {

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool underWine() {
#ifdef _WIN32
  HMODULE const ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace test
}  // namespace zu

#endif
