#include <cwctype>

#include "platform/linux/base/win32_wcsicmp.h"

int _wcsicmp(const wchar_t* string1, const wchar_t* string2) {
  for (;; ++string1, ++string2) {
    const std::wint_t a = std::towlower(static_cast<std::wint_t>(*string1));
    const std::wint_t b = std::towlower(static_cast<std::wint_t>(*string2));
    if (a != b) return a < b ? -1 : 1;
    if (a == L'\0') return 0;
  }
}
