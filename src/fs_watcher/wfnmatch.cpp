// The matcher is the BSD fnmatch walk made iterative. The recursive walk tries every length of every star and
// costs up to (string length)^(star groups) time and one stack frame per star group; here only the last star
// reached keeps a retry position, which yields the same answers:
//
// - A star reached at the earliest position any path reaches it offers a superset of the tries of a later
//   arrival (under FNM_PATHNAME the text between the two arrivals holds no separator, since neither a star nor a
//   token other than a literal separator matches one). So when that star has run out of tries, moving an earlier
//   star on cannot succeed through it, and the earlier star is forgotten as soon as a later one is reached.
// - FNM_PREFIX_DIRS is the exception: a later try of a forgotten star may end the string against a literal
//   separator before it ever reaches the next star, which accepts. With that flag a star that runs out of tries
//   becomes a boundary and the walk starts over: tries that reach the boundary fail, the others are explored by
//   the star before it. The boundary only moves towards the start, so there are at most as many runs as stars.
//
// Each run costs at most pattern length times string length steps and allocates nothing.
#include "fs_watcher/wfnmatch.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <type_traits>

#include "platform/case_fold.h"
#include "platform/path.h"

namespace {

using quorvel::platform::IsPathSeparator;

constexpr wchar_t kEscape = L'\\';

using CodeUnit = std::make_unsigned_t<wchar_t>;

// Names compare alike in every locale, as on Windows: a fixed table, never the C library's towlower.
wchar_t Fold(wchar_t c) { return quorvel::platform::FoldCase(c); }

// The string being matched, read as if NUL-terminated at `size`.
struct Subject {
  const wchar_t* data;
  std::size_t size;

  wchar_t operator[](std::size_t i) const { return i < size ? data[i] : L'\0'; }

  bool HasSeparatorFrom(std::size_t from) const {
    return std::find_if(data + std::min(from, size), data + size, IsPathSeparator) != data + size;
  }
  std::size_t NextSeparator(std::size_t from) const {
    return static_cast<std::size_t>(std::find_if(data + std::min(from, size), data + size, IsPathSeparator) - data);
  }
};

constexpr int kMatch = 0;
constexpr int kNoMatch = 1;
constexpr int kRetry = -1;  // start over with the lowered boundary

// One greedy walk. Stars at or after `boundary` (when set) are known to fail from wherever they are reached.
int GreedyRun(const wchar_t* const pattern, const Subject str, const unsigned flags, const wchar_t*& boundary) {
  const wchar_t* p = pattern;
  std::size_t s = 0;
  std::size_t frame = 0;  // where the string starts for the current try (FNM_PREFIX_DIRS looks at it)
  unsigned cur = flags;   // FNM_PERIOD only holds until the first star that tries lengths

  const wchar_t* retry_pattern = nullptr;  // just past the last star that tries lengths
  const wchar_t* retry_star = nullptr;     // that star itself
  std::size_t retry_from = 0;              // string position of its current try
  int stars_with_tries = 0;

  const auto leading_period = [&](std::size_t at) {
    return (cur & FNM_PERIOD) && str[at] == L'.' &&
           (at == frame || ((cur & FNM_PATHNAME) && at > 0 && IsPathSeparator(str[at - 1])));
  };
  // The star at `star` fails from its earliest arrival, so from every arrival.
  const auto dead_end = [&](const wchar_t* star, bool earlier_star_may_accept) {
    if (!(flags & FNM_PREFIX_DIRS) || !earlier_star_may_accept) return kNoMatch;
    boundary = star;
    return kRetry;
  };

  for (;;) {
    const wchar_t* const token = p;
    wchar_t c = *p++;
    bool failed = false;
    switch (c) {
      case L'\0':
        if (s == str.size || ((cur & FNM_LEADING_DIR) && IsPathSeparator(str[s]))) return kMatch;
        failed = true;
        break;

      case L'?':
        if (s == str.size || ((cur & FNM_PATHNAME) && IsPathSeparator(str[s])) || leading_period(s)) {
          failed = true;
        } else {
          ++s;
        }
        break;

      case L'*': {
        if (boundary != nullptr && token >= boundary) {
          failed = true;
          break;
        }
        while (*p == L'*') ++p;
        if (leading_period(s)) {
          failed = true;
          break;
        }
        if (*p == L'\0') {
          if (!(cur & FNM_PATHNAME) || (cur & FNM_LEADING_DIR) || !str.HasSeparatorFrom(s)) return kMatch;
          return dead_end(token, retry_pattern != nullptr);
        }
        if (IsPathSeparator(*p) && (cur & FNM_PATHNAME)) {
          s = str.NextSeparator(s);
          if (s == str.size) return dead_end(token, retry_pattern != nullptr);
          continue;  // the pattern's separator matches the string's
        }
        if (s == str.size) return dead_end(token, retry_pattern != nullptr);
        retry_pattern = p;
        retry_star = token;
        retry_from = s;
        frame = s;
        cur &= ~FNM_PERIOD;
        ++stars_with_tries;
        continue;
      }

      case L'[':
        if (s == str.size || ((cur & FNM_PATHNAME) && IsPathSeparator(str[s]))) {
          failed = true;
        } else if (const wchar_t* after = wfnmatch_rangematch(p, str[s], cur)) {
          p = after;
          ++s;
        } else {
          failed = true;
        }
        break;

      default:
        if (c == kEscape && !(cur & FNM_NOESCAPE)) {
          if (*p == L'\0') {
            c = kEscape;  // a trailing escape stands for itself
          } else {
            c = *p++;
          }
        }
        if (s < str.size && (c == str[s] || (IsPathSeparator(c) && IsPathSeparator(str[s])) ||
                             ((cur & FNM_CASEFOLD) && Fold(c) == Fold(str[s])))) {
          ++s;
        } else if ((cur & FNM_PREFIX_DIRS) && s == str.size &&
                   ((IsPathSeparator(c) && s != frame) ||
                    (str.size - frame == 1 && IsPathSeparator(str[frame])))) {
          return kMatch;
        } else {
          failed = true;
        }
        break;
    }
    if (!failed) continue;

    // This try failed: give the last star one more character.
    if (retry_pattern == nullptr) return kNoMatch;
    if (((cur & FNM_PATHNAME) && IsPathSeparator(str[retry_from])) || retry_from + 1 == str.size) {
      return dead_end(retry_star, stars_with_tries > 1);
    }
    ++retry_from;
    p = retry_pattern;
    s = retry_from;
    frame = retry_from;
  }
}

int MatchWhole(const wchar_t* pattern, Subject str, unsigned flags) {
  const wchar_t* boundary = nullptr;
  for (;;) {
    const int result = GreedyRun(pattern, str, flags, boundary);
    if (result != kRetry) return result;
  }
}

}  // namespace

const wchar_t* wfnmatch_rangematch(const wchar_t* pattern, wchar_t test, unsigned flags) {
  bool negate = false;
  if (*pattern == L'!' || *pattern == L'^') {
    negate = true;
    ++pattern;
  }
  const bool fold = (flags & FNM_CASEFOLD) != 0;
  const bool escapes = !(flags & FNM_NOESCAPE);
  if (fold) test = Fold(test);
  // A `]` right after the opening is never a member: the set is empty.
  if (*pattern == L']') return negate ? pattern + 1 : nullptr;

  bool ok = false;
  for (;;) {
    wchar_t c = *pattern++;
    if (c == kEscape && escapes) c = *pattern++;
    if (c == L'\0') return nullptr;
    if (fold) c = Fold(c);
    if (pattern[0] == L'-' && pattern[1] != L'\0' && pattern[1] != L']') {
      wchar_t last = pattern[1];
      pattern += 2;
      if (last == kEscape && escapes) {
        last = *pattern++;
        if (last == L'\0') return nullptr;
      }
      if (fold) last = Fold(last);
      if (static_cast<CodeUnit>(c) <= static_cast<CodeUnit>(test) &&
          static_cast<CodeUnit>(test) <= static_cast<CodeUnit>(last)) {
        ok = true;
      }
    } else if (c == test) {
      ok = true;
    }
    if (*pattern == L']') return ok != negate ? pattern + 1 : nullptr;
  }
}

int wfnmatch(const wchar_t* pattern, const wchar_t* string, unsigned flags) {
  return MatchWhole(pattern, Subject{string, std::wcslen(string)}, flags);
}

bool MatchFilterList(const std::vector<WatchFilter>& filters, std::wstring_view name) {
  const Subject subject{name.data(), std::min(name.find(L'\0'), name.size())};
  std::ptrdiff_t separators = -1;  // counted when a filter first needs it
  for (const WatchFilter& filter : filters) {
    if (filter.recursive_depth > 0) {
      if (separators < 0) separators = std::count_if(name.begin(), name.end(), IsPathSeparator);
      if (separators != filter.recursive_depth) continue;
    }
    if (MatchWhole(filter.pattern.c_str(), subject, kWatchFilterMatchFlags) == 0) return true;
  }
  return false;
}
