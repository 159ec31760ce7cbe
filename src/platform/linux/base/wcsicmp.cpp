#include "platform/linux/base/win32_wcsicmp.h"

#include "platform/case_fold.h"

int _wcsicmp(const wchar_t* string1, const wchar_t* string2) {
  for (;; ++string1, ++string2) {
    const auto a = static_cast<std::uint32_t>(quorvel::platform::FoldCase(*string1));
    const auto b = static_cast<std::uint32_t>(quorvel::platform::FoldCase(*string2));
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}
