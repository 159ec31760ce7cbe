// Filter matching: the watcher's filter rules, the wildcard matcher under every flag, and its equivalence with the
// plain recursive fnmatch walk (kept here as the reference).
#include "fs_watcher/wfnmatch.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "platform/case_fold.h"
#include "platform/path.h"
#include "platform/win32.h"

namespace {

using quorvel::platform::kPathSeparator;

// ---- The reference: the recursive walk, step by step, with no shortcuts. ----

// The walk is what the reference checks; folding is the one table every comparison of the module shares.
wchar_t RefFold(wchar_t c) { return quorvel::platform::FoldCase(c); }

const wchar_t* RefRange(const wchar_t* p, wchar_t test, unsigned flags) {
  bool negate = false;
  if (*p == L'!' || *p == L'^') {
    negate = true;
    ++p;
  }
  if (flags & FNM_CASEFOLD) test = RefFold(test);
  if (*p == L']') return negate ? p + 1 : nullptr;
  bool ok = false;
  do {
    wchar_t c = *p++;
    if (c == L'\\' && !(flags & FNM_NOESCAPE)) c = *p++;
    if (c == L'\0') return nullptr;
    if (flags & FNM_CASEFOLD) c = RefFold(c);
    if (*p == L'-' && p[1] != L'\0' && p[1] != L']') {
      wchar_t c2 = p[1];
      p += 2;
      if (c2 == L'\\' && !(flags & FNM_NOESCAPE)) c2 = *p++;
      if (c2 == L'\0') return nullptr;
      if (flags & FNM_CASEFOLD) c2 = RefFold(c2);
      using U = std::make_unsigned_t<wchar_t>;
      if (U(c) <= U(test) && U(test) <= U(c2)) ok = true;
    } else if (c == test) {
      ok = true;
    }
  } while (*p != L']');
  return ok != negate ? p + 1 : nullptr;
}

// Separators as the host has them: '/' and '\\' on Windows, '/' elsewhere.
bool IsSep(wchar_t c) { return quorvel::platform::IsPathSeparator(c); }
const wchar_t* FindSep(const wchar_t* s) {
  for (; *s != L'\0'; ++s) {
    if (IsSep(*s)) return s;
  }
  return nullptr;
}

int RefMatch(const wchar_t* p, const wchar_t* s, unsigned flags) {
  const wchar_t* const s0 = s;
  const auto leading_period = [&] {
    return (flags & FNM_PERIOD) && *s == L'.' && (s == s0 || ((flags & FNM_PATHNAME) && IsSep(s[-1])));
  };
  for (;;) {
    wchar_t c = *p++;
    if (c == L'\0') return (*s == L'\0' || ((flags & FNM_LEADING_DIR) && IsSep(*s))) ? 0 : 1;
    if (c == L'?') {
      if (*s == L'\0' || ((flags & FNM_PATHNAME) && IsSep(*s)) || leading_period()) return 1;
      ++s;
      continue;
    }
    if (c == L'*') {
      while (*p == L'*') ++p;
      if (leading_period()) return 1;
      if (*p == L'\0') {
        if (!(flags & FNM_PATHNAME)) return 0;
        return ((flags & FNM_LEADING_DIR) || FindSep(s) == nullptr) ? 0 : 1;
      }
      if (IsSep(*p) && (flags & FNM_PATHNAME)) {
        s = FindSep(s);
        if (s == nullptr) return 1;
        continue;
      }
      if (*s == L'\0') return 1;
      for (const wchar_t* t = s; *t != L'\0'; ++t) {
        if (RefMatch(p, t, flags & ~FNM_PERIOD) == 0) return 0;
        if (IsSep(*t) && (flags & FNM_PATHNAME)) return 1;
      }
      return 1;
    }
    if (c == L'[') {
      if (*s == L'\0' || ((flags & FNM_PATHNAME) && IsSep(*s))) return 1;
      p = RefRange(p, *s, flags);
      if (p == nullptr) return 1;
      ++s;
      continue;
    }
    if (c == L'\\' && !(flags & FNM_NOESCAPE)) {
      c = *p;
      if (c == L'\0') {
        c = L'\\';
      } else {
        ++p;
      }
    }
    if (c == *s || (IsSep(c) && *s != L'\0' && IsSep(*s)) || ((flags & FNM_CASEFOLD) && RefFold(c) == RefFold(*s))) {
      ++s;
      continue;
    }
    if ((flags & FNM_PREFIX_DIRS) && *s == L'\0' &&
        ((IsSep(c) && s != s0) || (IsSep(s0[0]) && s0[1] == L'\0'))) {
      return 0;
    }
    return 1;
  }
}

constexpr unsigned kAllFlags = 0x3F;

bool Accepts(const std::wstring& pattern, std::int32_t depth, const std::wstring& name) {
  return MatchFilterList({WatchFilter{pattern, depth}}, name);
}

// ---- The watcher's filter rules. ----

TEST(FilterList, OneFilterByPatternAndDepth) {
  struct Case {
    const wchar_t* pattern;
    std::int32_t depth;
    const wchar_t* name;
    bool accepted;
  };
  for (const Case& c : {
           // A suffix pattern at depth 0 ignores case and levels.
           Case{L"*.txt", 0, L"a.txt", true}, Case{L"*.txt", 0, L"A.TXT", true}, Case{L"*.txt", 0, L".txt", true},
           Case{L"*.txt", 0, L"a.txt.bak", false}, Case{L"*.txt", 0, L"sub/b.txt", true},
           // A positive depth needs exactly that many separators; zero and negative depths take any.
           Case{L"*", 1, L"a.txt", false}, Case{L"*", 1, L"d/a.txt", true}, Case{L"*", 1, L"d/e/a.txt", false},
           Case{L"*", 2, L"d/e/a.txt", true}, Case{L"*", -1, L"d/e/f/g", true}, Case{L"*", 0, L"d/e/f/g", true},
           Case{L"*", -1, L"/", true}, Case{L"*", 0, L"/", true}, Case{L"*", 0, L"a", true}, Case{L"*", -1, L"a", true},
           Case{L"*", 0, L"d/a", true}, Case{L"*", -1, L"d/a", true},
           // A separator in the pattern matches the separator of the name.
           Case{L"sub/*", 0, L"SUB/x", true}, Case{L"sub/*", 0, L"sub/x/y", true}, Case{L"sub/*", 1, L"sub/x", true},
           Case{L"sub/*", 1, L"sub/x/y", false}, Case{L"sub/*", 0, L"subx", false},
           // An empty pattern accepts nothing.
           Case{L"", 0, L"a", false}, Case{L"", -1, L"a/b", false}}) {
    EXPECT_EQ(Accepts(c.pattern, c.depth, c.name), c.accepted) << c.pattern << " depth " << c.depth << " " << c.name;
  }
}

TEST(FilterList, BothSlashesSeparateOnWindowsOnlyTheSlashElsewhere) {
  // A pattern written as Python users write paths matches the names Windows reports (with backslashes).
  const bool windows = kPathSeparator == L'\\';
  EXPECT_EQ(Accepts(L"d1/*.txt", 1, L"d1\\a.txt"), windows);
  EXPECT_EQ(Accepts(L"*", 1, L"d1\\a.txt"), windows);  // the depth counts both
  EXPECT_EQ(Accepts(L"*", 2, L"d1\\d2/a.txt"), windows);
  EXPECT_EQ(Accepts(L"d1\\*", 1, L"d1/a.txt"), windows);
  EXPECT_TRUE(Accepts(L"d1/*.txt", 1, L"d1/a.txt"));
  EXPECT_EQ(wfnmatch(L"d1/*", L"d1\\a", FNM_PATHNAME) == 0, windows);
  EXPECT_EQ(wfnmatch(L"d1*", L"d1\\a", FNM_PATHNAME | FNM_NOESCAPE) == 0, !windows);
}

TEST(FilterList, BackslashIsAnOrdinaryCharacterWithTheWatchersFlags) {
  EXPECT_TRUE(Accepts(L"a\\b", 0, L"a\\b"));
  EXPECT_TRUE(Accepts(L"a\\*", 0, L"a\\xyz"));
  EXPECT_FALSE(Accepts(L"a\\*", 0, L"a*"));
  EXPECT_EQ(Accepts(L"a\\b", 0, L"a/b"), kPathSeparator == L'\\');
  // Depth counts separators only.
  EXPECT_EQ(Accepts(L"*", 1, L"a\\b"), kPathSeparator == L'\\');
}

TEST(FilterList, EmptyListsAndEmbeddedNuls) {
  EXPECT_FALSE(MatchFilterList({}, L"a.txt"));
  const std::wstring with_nul(L"a.txt\0zzz", 9);
  EXPECT_TRUE(Accepts(with_nul, 0, L"a.txt"));
  EXPECT_TRUE(Accepts(with_nul, 0, with_nul));  // the name ends at its NUL too, and "a.txt" is what remains
  EXPECT_TRUE(Accepts(L"*", 0, with_nul));
  // A view that is not NUL-terminated ends where it ends.
  const std::wstring longer = L"a.txtX";
  EXPECT_TRUE(MatchFilterList({WatchFilter{L"*.txt", 0}}, std::wstring_view(longer).substr(0, 5)));
}

TEST(FilterList, AnyAcceptingFilterSuffices) {
  const std::vector<WatchFilter> filters = {{L"*.log", 0}, {L"*", 2}, {L"*.txt", 1}};
  EXPECT_TRUE(MatchFilterList(filters, L"x.LOG"));
  EXPECT_TRUE(MatchFilterList(filters, L"d/x.txt"));
  EXPECT_TRUE(MatchFilterList(filters, L"d/e/x.bin"));
  EXPECT_FALSE(MatchFilterList(filters, L"x.txt"));
  EXPECT_FALSE(MatchFilterList(filters, L"d/x.bin"));
}

// ---- Wildcards and sets with the watcher's flags. ----

int WatcherMatch(const wchar_t* pattern, const wchar_t* string) {
  return wfnmatch(pattern, string, kWatchFilterMatchFlags);
}

TEST(Wildcards, StarsSetsAndCaseFolding) {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* string;
    int result;
  };
  for (const Case& c : {
           // Star and question mark cross separators and periods.
           Case{L"a*b", L"a", 1}, Case{L"a*b", L"ab", 0}, Case{L"a*b", L"aXb", 0}, Case{L"a*b", L"a/b", 0},
           Case{L"a*b", L"a\\b", 0}, Case{L"a?b", L"a/b", 0}, Case{L"?a", L".a", 0}, Case{L"a?b", L"ab", 1},
           Case{L"***", L"", 0}, Case{L"", L"", 0}, Case{L"?", L"", 1},
           // Bracket expressions: a leading `]` is a member, `-` at the end too, a reversed range is empty, an
           // unclosed `[` is no set, no classes (`[`, `:` and `=` are members), escapes off (a backslash is one).
           Case{L"[]x", L"", 1}, Case{L"[]x", L"x", 1}, Case{L"[]x", L"]x", 1}, Case{L"[]x", L"ax", 1},
           Case{L"[]x", L"]", 1}, Case{L"[!]x", L"qx", 0}, Case{L"[!]x", L"]X", 0}, Case{L"[!]x", L"/x", 0},
           Case{L"[!]x", L"x", 1}, Case{L"[!]x", L"qxy", 1}, Case{L"[a-]", L"a", 0}, Case{L"[a-]", L"A", 0},
           Case{L"[a-]", L"-", 0}, Case{L"[a-]", L"b", 1}, Case{L"[z-a]", L"a", 1}, Case{L"[z-a]", L"m", 1},
           Case{L"[z-a]", L"z", 1}, Case{L"[z-a]", L"-", 1}, Case{L"[abc", L"a", 1}, Case{L"[abc", L"[abc", 1},
           Case{L"[abc", L"b", 1}, Case{L"[!a-c]", L"B", 1}, Case{L"[^a-c]", L"d", 0}, Case{L"[[:=]", L":", 0},
           Case{L"[\\]", L"\\", 0},
           // Case folding beyond ASCII: ä Ä, Ж ж, [А-Я] against Б and б.
           Case{L"[A-Z]*", L"q.txt", 0}, Case{L"[A-Z]*", L"Q.txt", 0}, Case{L"[A-Z]*", L"1.txt", 1},
           Case{L"[\u00E4]*", L"\u00E4x", 0}, Case{L"[\u00E4]*", L"\u00C4x", 0}, Case{L"[\u00E4]*", L"ax", 1},
           Case{L"[\u0416]*", L"\u0416", 0}, Case{L"[\u0416]*", L"\u0436", 0}, Case{L"[\u0416]*", L"\u0417", 1},
           Case{L"[\u0410-\u042F]*", L"\u0411x", 0}, Case{L"[\u0410-\u042F]*", L"\u0431x", 0},
           Case{L"[\u0410-\u042F]*", L"a", 1}, Case{L"[\u0410-\u042F]*", L"B", 1},
           Case{L"[\u0410-\u042F]*", L"z", 1}, Case{L"\u00C4BC.TXT", L"\u00E4bc.txt", 0}}) {
    EXPECT_EQ(WatcherMatch(c.pattern, c.string), c.result) << c.pattern << " " << c.string;
  }
  // The Kelvin sign folds to a Latin k: every character folding like a member matches it.
  EXPECT_EQ(WatcherMatch(L"[k]*", L"\u212A.txt"), 0);
  EXPECT_EQ(WatcherMatch(L"k.txt", L"\u212A.TXT"), 0);
}

// The C library's locale is process-wide, so each locale is tried in a child process of its own. The answers
// must not change with it: services and containers often run with LC_CTYPE "C".
bool FoldsAlikeInThisLocale() {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* name;
    int result;
  };
  bool ok = true;
  for (const Case& c : {
           Case{L"*.\u00C4\u00D6", L"x.\u00E4\u00F6", 0}, Case{L"*.\u00E4\u00F6", L"X.\u00C4\u00D6", 0},
           Case{L"\u0416*", L"\u0436.txt", 0}, Case{L"[\u0410-\u042F]*", L"\u0431x", 0},
           Case{L"\u03A3", L"\u03C3", 0}, Case{L"\u03A3", L"\u03C2", 1},  // final sigma is a letter of its own
           Case{L"\u1E9E", L"\u00DF", 0},                                // capital sharp s folds to sharp s
           Case{L"\u0130", L"i", 1},  // dotted capital I lowers to two characters: no simple folding
           Case{L"\uFF21", L"\uFF41", 0}, Case{L"\u212A", L"k", 0},
           // Beyond the BMP nothing folds: Windows sees two surrogate units there, which never fold.
           Case{L"\U00010400", L"\U00010428", 1}}) {
    if (WatcherMatch(c.pattern, c.name) != c.result) {
      std::fprintf(stderr, "pattern U+%04X... against U+%04X...\n", static_cast<unsigned>(c.pattern[0]),
                   static_cast<unsigned>(c.name[0]));
      ok = false;
    }
#ifndef _WIN32
    // Every case-insensitive comparison of the module agrees with the filters (on Windows these are the CRT's).
    if (std::wcspbrk(c.pattern, L"*?[") == nullptr &&
        ((_wcsicmp(c.pattern, c.name) == 0) != (c.result == 0) ||
         (_wcsnicmp(c.pattern, c.name, std::wcslen(c.name) + 1) == 0) != (c.result == 0))) {
      std::fprintf(stderr, "_wcsicmp or _wcsnicmp disagrees on U+%04X\n", static_cast<unsigned>(c.name[0]));
      ok = false;
    }
#endif
  }
  return ok;
}

TEST(CaseFoldingDeathTest, FiltersMatchAlikeUnderTheCLocaleAndAUtf8Locale) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#ifdef _WIN32
  const char* const locales[] = {"C", ""};
#else
  const char* const locales[] = {"C", "C.UTF-8"};
#endif
  for (const char* locale : locales) {
    EXPECT_EXIT(
        {
          if (std::setlocale(LC_ALL, locale) == nullptr) std::exit(2);
          std::exit(FoldsAlikeInThisLocale() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "locale " << locale;
  }
}

TEST(Wildcards, QuestionMarkTakesOneCodeUnit) {
  const wchar_t* smiley = L"\U0001F600";
  if (sizeof(wchar_t) == 4) {  // one UTF-32 unit
    EXPECT_EQ(WatcherMatch(L"?", smiley), 0);
    EXPECT_EQ(WatcherMatch(L"??", smiley), 1);
  } else {  // a surrogate pair
    EXPECT_EQ(WatcherMatch(L"?", smiley), 1);
    EXPECT_EQ(WatcherMatch(L"??", smiley), 0);
  }
}

// ---- The other flags. ----

TEST(Flags, EachFlagAlone) {
  struct Case {
    const wchar_t* pattern;
    const wchar_t* string;
    unsigned flags;
    int result;
  };
  constexpr unsigned kPath = FNM_PATHNAME, kDot = FNM_PERIOD, kLead = FNM_LEADING_DIR, kPrefix = FNM_PREFIX_DIRS;
  for (const Case& c : {
           // Escapes when FNM_NOESCAPE is clear; a trailing backslash stands for itself.
           Case{L"a\\*", L"a*", 0, 0}, Case{L"a\\*", L"ab", 0, 1}, Case{L"a\\*", L"a\\b", 0, 1},
           Case{L"a\\", L"a\\", 0, 0}, Case{L"a\\", L"a", 0, 1}, Case{L"\\a", L"A", FNM_CASEFOLD, 0},
           Case{L"[\\]]", L"]", 0, 0}, Case{L"[a-\\z]", L"q", 0, 0}, Case{L"[\\", L"\\", 0, 1},
           // FNM_PATHNAME keeps wildcards and sets off separators.
           Case{L"*", L"a/b", kPath, 1}, Case{L"*/b", L"a/b", kPath, 0}, Case{L"*/*", L"a/b/c", kPath, 1},
           Case{L"*b", L"a/b", kPath, 1}, Case{L"a?b", L"a/b", kPath, 1}, Case{L"a[/]b", L"a/b", kPath, 1},
           Case{L"a[!x]b", L"a/b", kPath, 1}, Case{L"*x*", L"ab/x", kPath, 1},
           // FNM_PERIOD protects leading dots: only at the start without FNM_PATHNAME, and not after a star that
           // tries lengths.
           Case{L"*", L".a", kDot, 1}, Case{L"?a", L".a", kDot, 1}, Case{L".*", L".a", kDot, 0},
           Case{L"a*", L"a.b", kDot, 0}, Case{L"a/*", L"a/.b", kDot, 0}, Case{L"a/*", L"a/.b", kDot | kPath, 1},
           Case{L"*/*", L"a/.b", kDot | kPath, 1}, Case{L"*a/*", L"xa/.b", kDot | kPath, 0},
           // FNM_LEADING_DIR ignores the rest after a separator.
           Case{L"a", L"a/b/c", kLead, 0}, Case{L"a", L"ab", kLead, 1}, Case{L"a*", L"ab/c", kPath | kLead, 0},
           Case{L"a*", L"ab/c", kPath, 1},
           // FNM_PREFIX_DIRS accepts the directories on the way.
           Case{L"a/b/c", L"a/b", kPrefix, 0}, Case{L"a/b/c", L"a", kPrefix, 0}, Case{L"a/b/c", L"a/", kPrefix, 1},
           Case{L"/x", L"/", kPrefix, 0}, Case{L"/a", L"", kPrefix, 1}, Case{L"a/b/c", L"a/b", 0, 1},
           // A later length of an earlier star reaches the end of the string against a separator and accepts,
           // although the first length that got through to the last star failed there.
           Case{L"*?/*xy", L"z/q", kPrefix, 0}, Case{L"*?/*xy", L"z/q", 0, 1}}) {
    EXPECT_EQ(wfnmatch(c.pattern, c.string, c.flags), c.result) << c.pattern << " " << c.string << " " << c.flags;
  }
}

TEST(RangeMatch, ReturnsThePositionPastTheClosingBracket) {
  const wchar_t* set = L"a-c]rest";
  EXPECT_EQ(wfnmatch_rangematch(set, L'b', 0), set + 4);
  EXPECT_EQ(wfnmatch_rangematch(set, L'B', 0), nullptr);
  EXPECT_EQ(wfnmatch_rangematch(set, L'B', FNM_CASEFOLD), set + 4);
  const wchar_t* empty_negated = L"!]x";
  EXPECT_EQ(wfnmatch_rangematch(empty_negated, L'q', 0), empty_negated + 2);
  EXPECT_EQ(wfnmatch_rangematch(L"]x", L']', 0), nullptr);
  EXPECT_EQ(wfnmatch_rangematch(L"abc", L'a', 0), nullptr);
  EXPECT_EQ(wfnmatch_rangematch(L"!abc", L'z', 0), nullptr);
}

// ---- Equivalence with the recursive walk, and cost. ----

std::wstring RandomText(std::mt19937& rng, const std::wstring& alphabet, std::size_t max_length) {
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::wstring text(length(rng), L' ');
  for (auto& c : text) c = alphabet[pick(rng)];
  return text;
}

TEST(Equivalence, SameAnswersAsTheRecursiveWalkForEveryFlagCombination) {
  std::mt19937 rng(20261207);
  const std::wstring pattern_alphabet = L"**?[[]!^--\\/.aAbB\u00E4\u00C4";
  const std::wstring string_alphabet = L"aAbB/\\.-]!\u00C4";
  int matches = 0;
  int cases = 0;
  for (unsigned flags = 0; flags <= kAllFlags; ++flags) {
    for (int i = 0; i < 15000; ++i) {
      const std::wstring pattern = RandomText(rng, pattern_alphabet, 9);
      const std::wstring string = RandomText(rng, string_alphabet, 8);
      const int expected = RefMatch(pattern.c_str(), string.c_str(), flags);
      ASSERT_EQ(wfnmatch(pattern.c_str(), string.c_str(), flags), expected)
          << "pattern \"" << std::string(pattern.begin(), pattern.end()) << "\" string \""
          << std::string(string.begin(), string.end()) << "\" flags " << flags;
      matches += expected == 0;
      ++cases;
    }
  }
  // The generator must produce both answers in fair numbers for the comparison to mean anything.
  EXPECT_GT(matches, cases / 50);
  EXPECT_LT(matches, cases - cases / 50);
}

TEST(Equivalence, SameAnswersForBracketExpressions) {
  // Sets are rare in free random patterns; here every pattern is one set against every single unit.
  std::mt19937 rng(7);
  const std::wstring body_alphabet = L"!^]--aAbBzZ\\/\u00E4\u00C4";
  const std::wstring units = L"aAbBmMzZ-]!^\\/\u00E4\u00C4";
  for (int i = 0; i < 20000; ++i) {
    const std::wstring pattern = L"[" + RandomText(rng, body_alphabet, 6) + L"]";
    for (const unsigned flags : {0u, FNM_NOESCAPE, FNM_CASEFOLD, kWatchFilterMatchFlags, FNM_PATHNAME}) {
      for (const wchar_t unit : units) {
        const wchar_t string[] = {unit, L'\0'};
        ASSERT_EQ(wfnmatch(pattern.c_str(), string, flags), RefMatch(pattern.c_str(), string, flags))
            << "pattern \"" << std::string(pattern.begin(), pattern.end()) << "\" unit " << unsigned(unit)
            << " flags " << flags;
      }
    }
  }
}

TEST(Equivalence, SameAnswersOnEveryShortPatternOverATinyAlphabet) {
  // Exhaustive where random draws are thin: every pattern up to 5 tokens against every string up to 4 units.
  const std::wstring tokens = L"*?/a[]";
  const std::wstring units = L"a/.";
  std::vector<std::wstring> patterns = {L""};
  for (std::size_t begin = 0, length = 1; length <= 5; ++length) {
    const std::size_t end = patterns.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (wchar_t t : tokens) patterns.push_back(patterns[i] + t);
    }
    begin = end;
  }
  std::vector<std::wstring> strings = {L""};
  for (std::size_t begin = 0, length = 1; length <= 4; ++length) {
    const std::size_t end = strings.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (wchar_t u : units) strings.push_back(strings[i] + u);
    }
    begin = end;
  }
  for (const unsigned flags : {0x11u, 0x20u, 0x22u, 0x2Eu, 0x0Eu}) {
    for (const auto& pattern : patterns) {
      for (const auto& string : strings) {
        ASSERT_EQ(wfnmatch(pattern.c_str(), string.c_str(), flags), RefMatch(pattern.c_str(), string.c_str(), flags))
            << "pattern \"" << std::string(pattern.begin(), pattern.end()) << "\" string \""
            << std::string(string.begin(), string.end()) << "\" flags " << flags;
      }
    }
  }
}

TEST(Equivalence, ManyStarGroupsAgainstALongNameAnswerAtOnce) {
  std::wstring pattern;
  for (int i = 0; i < 30; ++i) pattern += L"*a";
  const std::wstring as(10000, L'a');
  // The recursive walk would try on the order of 10000^30 splits for the failing cases.
  EXPECT_EQ(wfnmatch(pattern.c_str(), (as + L"b").c_str(), kWatchFilterMatchFlags), 1);
  EXPECT_EQ(wfnmatch(pattern.c_str(), as.c_str(), kWatchFilterMatchFlags), 0);
  EXPECT_EQ(wfnmatch((pattern + L"b").c_str(), as.c_str(), kWatchFilterMatchFlags), 1);
  EXPECT_FALSE(MatchFilterList({WatchFilter{pattern + L"/", 0}}, as));
  EXPECT_EQ(wfnmatch(pattern.c_str(), (as + L"b").c_str(), FNM_PATHNAME | FNM_PERIOD), 1);
  EXPECT_EQ(wfnmatch(pattern.c_str(), (as + L"b").c_str(), FNM_PREFIX_DIRS | FNM_CASEFOLD), 1);
  // A pattern far longer than any stack could recurse through.
  std::wstring stars;
  for (int i = 0; i < 100000; ++i) stars += L"*x";
  EXPECT_EQ(wfnmatch(stars.c_str(), std::wstring(200, L'x').c_str(), kWatchFilterMatchFlags), 1);
  EXPECT_EQ(wfnmatch(stars.c_str(), std::wstring(100000, L'x').c_str(), kWatchFilterMatchFlags), 0);
}

}  // namespace
