// _wcsnicmp as the window search uses it: a case-insensitive prefix test that never reads past either string.
#include <gtest/gtest.h>

#include <clocale>

#include "platform/win32.h"

namespace {

TEST(Wcsnicmp, ComparesAtMostCountCharactersIgnoringCase) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    std::size_t count;
    int sign;
  } cases[] = {
      {L"/Games/Foo/run.bin", L"/games/foo", 10, 0},
      {L"/Games/FooBar/run.bin", L"/games/foo", 10, 0},
      {L"/games/fo", L"/games/foo", 10, -1},     // shorter: ends before the count
      {L"/games/fop", L"/games/foo", 10, 1},
      {L"ÉTÉ/x", L"été", 3, 0},                  // beyond ASCII, as the locale folds it
      {L"abc", L"abd", 2, 0},
      {L"abc", L"xyz", 0, 0},
      {L"abc", L"ab", 100, 1},                   // stops at the shorter string's end
  };
  for (const auto& c : cases) {
    const int r = _wcsnicmp(c.a, c.b, c.count);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.count;
    EXPECT_EQ(-((r > 0) - (r < 0)), (_wcsnicmp(c.b, c.a, c.count) > 0) - (_wcsnicmp(c.b, c.a, c.count) < 0));
  }
}

}  // namespace
