// Joining the watched directory with a change's relative name: one separator at the seam, nothing else touched.
#include "fs_watcher/path_join.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/path.h"

namespace {

using quorvel::platform::kPathSeparator;

// The cases are written with '/' and mapped to the host's separator; '|' stands for the other slash, which is an
// ordinary character.
std::wstring Host(std::wstring text) {
  const wchar_t other = kPathSeparator == L'/' ? L'\\' : L'/';
  for (auto& c : text) {
    if (c == L'/') {
      c = kPathSeparator;
    } else if (c == L'|') {
      c = other;
    }
  }
  return text;
}

TEST(JoinPath, OneSeparatorAtTheSeam) {
  struct Case {
    const wchar_t* base;
    const wchar_t* part;
    const wchar_t* joined;
  };
  const Case cases[] = {
      {L"/w", L"a/b.txt", L"/w/a/b.txt"},
      {L"/w/", L"a", L"/w/a"},
      {L"/w/", L"/a", L"/w/a"},
      {L"/w", L"/a", L"/w/a"},
      {L"/w//", L"a", L"/w//a"},
      {L"/w/", L"//a", L"/w//a"},
      {L"/w/", L"/", L"/w/"},
#ifdef _WIN32
      {L"/w|", L"a", L"/w|a"},  // '/' separates on Windows too: no "/\\" at the seam
      {L"/w", L"|a", L"/w|a"},
#else
      {L"/w|", L"a", L"/w|/a"},  // the other slash is not a separator
#endif
      {L"/w", L"a/", L"/w/a/"},
      {L"", L"a", L"a"},
      {L"", L"/a", L"/a"},
      {L"", L"", L""},
      {L"w", L"a", L"w/a"},  // a relative base stays relative
      {L"/w", L"./../A", L"/w/./../A"},
      {L"/", L"a", L"/a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinPath(Host(c.base), Host(c.part)), Host(c.joined))
        << "base " << std::string(c.base, c.base + std::wcslen(c.base)) << " part "
        << std::string(c.part, c.part + std::wcslen(c.part));
  }
}

TEST(JoinPath, EmptyPartAfterANonEmptyBaseThrows) {
  EXPECT_THROW(JoinPath(Host(L"/w"), L""), std::out_of_range);
  EXPECT_THROW(JoinPath(Host(L"/w/"), L""), std::out_of_range);
}

TEST(AppendPathPart, BothOverloadsFollowTheSameRuleAndLeaveDestAloneOnFailure) {
  std::wstring dest = Host(L"/w/");
  AppendPathPart(dest, Host(L"/a"));
  EXPECT_EQ(dest, Host(L"/w/a"));
  AppendPathPart(dest, std::wstring_view(L"b"));
  EXPECT_EQ(dest, Host(L"/w/a/b"));
  const std::wstring tail = Host(L"/c/");
  AppendPathPart(dest, std::wstring_view(tail).substr(0, 2));
  EXPECT_EQ(dest, Host(L"/w/a/b/c"));

  EXPECT_THROW(AppendPathPart(dest, std::wstring()), std::out_of_range);
  EXPECT_THROW(AppendPathPart(dest, std::wstring_view()), std::out_of_range);
  EXPECT_EQ(dest, Host(L"/w/a/b/c"));

  std::wstring empty;
  AppendPathPart(empty, std::wstring_view());
  EXPECT_EQ(empty, L"");
}

TEST(PathPartLength, LengthPlusOneForTheSeparator) {
  EXPECT_EQ(PathPartLength(std::wstring()), 1u);
  EXPECT_EQ(PathPartLength(std::wstring(L"abc")), 4u);
  EXPECT_EQ(PathPartLength(std::wstring_view(L"abcdef").substr(1, 2)), 3u);
}

}  // namespace
