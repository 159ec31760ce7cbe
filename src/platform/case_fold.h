// The one case folding of the module: filters, _wcsicmp and _wcsnicmp compare names after it. Windows compares
// file names alike in every locale, so this is a fixed table (case_fold_table.h, made by scripts/gen_case_fold.py),
// never towlower, whose answer follows the C library's locale (under LC_ALL=C it folds ASCII only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "platform/case_fold_table.h"

namespace quorvel::platform {

// Folds one code unit: a BMP character to its lower case when that is one character (Unicode's simple mapping,
// except U+0130, whose lower case is two characters, so it stays); anything else (surrogate units, characters
// beyond the BMP, which Windows sees as two units) to itself.
inline wchar_t FoldCase(wchar_t c) {
  const auto unit = static_cast<std::make_unsigned_t<wchar_t>>(c);
  if (unit < 0x80) return unit >= u'A' && unit <= u'Z' ? static_cast<wchar_t>(unit + 0x20) : c;
  if constexpr (sizeof(wchar_t) > 2) {
    if (unit > 0xFFFF) return c;
  }
  const auto& runs = detail::kCaseFoldRuns;
  std::size_t lo = 0, hi = std::size(runs);  // the first run ending at or after `unit`
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (runs[mid].last < unit) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == std::size(runs)) return c;
  const detail::CaseFoldRun& run = runs[lo];
  if (unit < run.first || (unit - run.first) % run.stride != 0) return c;
  return static_cast<wchar_t>(static_cast<std::uint16_t>(unit + run.delta));
}

}  // namespace quorvel::platform
