// Wildcard matching of watch filters: a wide-character matcher in the manner of BSD fnmatch, with the platform's
// path separator (platform/path.h) as the separator of FNM_PATHNAME and its relatives. The escape character, when
// escapes are on, is always the backslash. The watcher matches with FNM_NOESCAPE | FNM_CASEFOLD only.
#pragma once

#include <string_view>
#include <vector>

#include "fs_watcher/watch_types.h"

// Flag bits of wfnmatch. <fnmatch.h> defines macros of the same names with other values: never include both.
inline constexpr unsigned FNM_NOESCAPE = 0x01;     // a backslash in the pattern is an ordinary character
inline constexpr unsigned FNM_PATHNAME = 0x02;     // `*`, `?` and `[...]` never match a separator
inline constexpr unsigned FNM_PERIOD = 0x04;       // a leading period (or one after a separator) must be literal
inline constexpr unsigned FNM_LEADING_DIR = 0x08;  // the pattern may stop at a separator of the string
inline constexpr unsigned FNM_CASEFOLD = 0x10;     // compare after platform/case_fold.h's folding
inline constexpr unsigned FNM_PREFIX_DIRS = 0x20;  // a directory on the way to what the pattern names matches

// The flags every watch filter is matched with.
inline constexpr unsigned kWatchFilterMatchFlags = FNM_NOESCAPE | FNM_CASEFOLD;

// 0 when `pattern` matches the whole of `string`, 1 otherwise. Both are NUL-terminated. Iterative: time is at most
// proportional to pattern length times string length, and the stack does not grow with the number of stars.
int wfnmatch(const wchar_t* pattern, const wchar_t* string, unsigned flags);

// `pattern` points just past a `[`. Returns the position just past the closing `]` when the bracket expression
// matches `test`, null when it does not match or is not closed.
const wchar_t* wfnmatch_rangematch(const wchar_t* pattern, wchar_t test, unsigned flags);

// True when one filter of the list accepts the path `name` (relative to the watched directory): a filter with
// `recursive_depth` above 0 needs exactly that many separators in `name`, and its pattern must match all of
// `name` under kWatchFilterMatchFlags. An empty list accepts nothing. `name` need not be NUL-terminated; like the
// pattern, it ends at its first NUL character if it holds one.
bool MatchFilterList(const std::vector<WatchFilter>& filters, std::wstring_view name);
