// Expansions of any length come back whole or not at all: whole on Linux, where nothing bounds them; on Windows
// whole up to the system's limit of 32,767 characters with the terminator, and "" past it, never a cut string.
// Needs no test seam, so it runs on both systems.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "utils/env_path.h"

namespace {

void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  ASSERT_EQ(_putenv_s(name, value.c_str()), 0);
#else
  ASSERT_EQ(::setenv(name, value.c_str(), 1), 0);
#endif
}

#ifdef _WIN32
constexpr std::size_t kLongestWhole = 32766;
#else
constexpr std::size_t kLongestWhole = static_cast<std::size_t>(-1);
#endif

TEST(ExpandEnvPath, LongExpansionsAreWholeOrEmpty) {
  const struct {
    std::size_t first, second;  // lengths of QV_L1 and QV_L2
    const wchar_t* path;        // or null: a path of `first` characters without references
    std::size_t expanded;
  } cases[] = {
      {32765, 0, L"%QV_L1%.", 32766},        // the longest expansion Windows gives whole
      {32766, 0, L"%QV_L1%.", 32767},        // one more: Windows cuts its last character
      {20000, 20000, L"%QV_L1%%QV_L2%", 40000},
      {40000, 0, nullptr, 40000},             // no reference, longer than Windows' limit
  };
  for (const auto& c : cases) {
    SetVariable("QV_L1", std::string(c.first, 'a'));
    SetVariable("QV_L2", std::string(c.second, 'b'));
    const std::wstring path = c.path != nullptr ? std::wstring(c.path) : std::wstring(c.first, L'p');
    const std::wstring whole = c.path != nullptr ? std::wstring(c.first, L'a') + std::wstring(c.second, L'b') +
                                                       (c.second == 0 ? L"." : L"")
                                                 : path;
    ASSERT_EQ(whole.size(), c.expanded);
    const std::wstring result = expand_env_path(path.c_str());
    if (c.expanded <= kLongestWhole) {
      EXPECT_TRUE(result == whole) << c.expanded << " characters came back as " << result.size();
    } else {
      EXPECT_EQ(result.size(), 0u) << c.expanded << " characters: not whole, so nothing";
    }
  }
}

}  // namespace
