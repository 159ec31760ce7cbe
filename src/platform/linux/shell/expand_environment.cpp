// ExpandEnvironmentStringsW over the process environment.
//
// A reference is the text between a `%` and the next `%`. When it names a set variable it is replaced by the
// value (an empty value removes it); otherwise it is copied as written, both percent signs included, and the
// scan goes on after its closing `%`. A `%` without a partner is copied. Values are not expanded again.
//
// Names are case-sensitive here, unlike on Windows: the Linux environment may hold PATH and Path as two
// variables, and folding case would have to pick one of them arbitrarily. A name that is empty or holds `=`
// names no variable. The environment is read at each call, from the copy the calling thread uses when it has one
// (platform/environment.h), else with getenv, which must not race a thread that changes the environment.
//
// The result is whole however long: no 32K limit as on Windows (the test seam can impose one, see
// seam_known_folders.h).
#include <atomic>
#include <new>
#include <optional>
#include <string>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/seam/seam_known_folders.h"
#include "platform/linux/base/environment.h"
#include "platform/linux/shell/win32_known_folders.h"

namespace {

using quorvel::platform::Utf8ToWide;
using quorvel::platform::WideToUtf8;

std::optional<std::wstring> Lookup(std::wstring_view name) {
  if (name.empty() || name.find(L'=') != std::wstring_view::npos) return std::nullopt;
  const std::string bytes = WideToUtf8(name);
  // A name UTF-8 cannot carry exactly would otherwise match a variable named with replacement characters.
  if (Utf8ToWide(bytes) != name) return std::nullopt;
  const std::optional<std::string> value = quorvel::platform::detail::GetEnvironmentValue(bytes);
  if (!value) return std::nullopt;
  return Utf8ToWide(*value);
}

std::wstring Expand(std::wstring_view src) {
  std::wstring out;
  out.reserve(src.size());
  std::size_t i = 0;
  while (i < src.size()) {
    const std::size_t open = src.find(L'%', i);
    if (open == std::wstring_view::npos) {
      out.append(src.substr(i));
      break;
    }
    out.append(src.substr(i, open - i));
    const std::size_t close = src.find(L'%', open + 1);
    if (close == std::wstring_view::npos) {
      out.append(src.substr(open));
      break;
    }
    if (auto value = Lookup(src.substr(open + 1, close - open - 1))) {
      out.append(*value);
    } else {
      out.append(src.substr(open, close - open + 1));
    }
    i = close + 1;
  }
  return out;
}

// 0: no limit. Otherwise the buffer size above which the call behaves as if given this size (the seam's cap).
std::atomic<DWORD> size_cap{0};

}  // namespace

namespace quorvel::platform::seam {

void CapExpandEnvironmentStrings(DWORD chars) { size_cap.store(chars); }

}  // namespace quorvel::platform::seam

DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  using quorvel::platform::detail::Fail;
  QUORVEL_SEAM_FAIL("ExpandEnvironmentStringsW", DWORD{0});
  if (lpSrc == nullptr || (lpDst == nullptr && nSize != 0)) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  std::wstring expanded;
  try {
    expanded = Expand(lpSrc);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, DWORD{0});
  }
  const std::size_t needed = expanded.size() + 1;
  if (needed > 0xFFFFFFFFu) return Fail(ERROR_NOT_ENOUGH_MEMORY, DWORD{0});
  if (const DWORD cap = size_cap.load(); cap != 0 && nSize > cap) nSize = cap;
  if (needed <= nSize) {
    expanded.copy(lpDst, expanded.size());
    lpDst[expanded.size()] = L'\0';
    return static_cast<DWORD>(needed);
  }
  if (nSize > 0) {
    expanded.copy(lpDst, nSize - 1);
    lpDst[nSize - 1] = L'\0';
  }
  return Fail(ERROR_INSUFFICIENT_BUFFER, static_cast<DWORD>(needed));
}
