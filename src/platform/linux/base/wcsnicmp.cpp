// The C runtime's _wcsnicmp: at most `count` characters compared after the module's fixed case folding
// (platform/case_fold.h), the same in every locale.
#include "platform/case_fold.h"
#include "platform/linux/base/win32_wcsicmp.h"

int _wcsnicmp(const wchar_t* string1, const wchar_t* string2, std::size_t count) {
  // The runtime's answer to a null string, instead of a crash.
  if (count != 0 && (string1 == nullptr || string2 == nullptr)) return 0x7FFFFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    const auto a = static_cast<std::uint32_t>(quorvel::platform::FoldCase(string1[i]));
    const auto b = static_cast<std::uint32_t>(quorvel::platform::FoldCase(string2[i]));
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
  return 0;
}
