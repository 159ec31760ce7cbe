// Against an ExpandEnvironmentStringsW capped as Windows' is (32,767 characters whatever the size given; a result
// that does not fit leaves a cut string beside the count of the whole), expansions are whole or "", never cut.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/linux/seam/seam_known_folders.h"
#include "utils/env_path.h"

namespace {

TEST(ExpandEnvPathCapped, GivesTheWholeExpansionOrNothing) {
  quorvel::platform::seam::CapExpandEnvironmentStrings(32767);
  const struct {
    std::size_t first, second;  // lengths of QV_C1 and QV_C2
    const wchar_t* path;        // null: `first` characters without a reference
    bool whole;
  } cases[] = {
      {300, 0, L"%QV_C1%.", true},                // a second, larger buffer
      {32765, 0, L"%QV_C1%.", true},              // fills the capped buffer exactly
      {32766, 0, L"%QV_C1%.", false},             // the retry's count equals its size; the string is cut
      {20000, 20000, L"%QV_C1%%QV_C2%", false},  // cut, NULs behind it
      {40000, 0, nullptr, false},                 // the first buffer is large enough; the cap cuts it
  };
  for (const auto& c : cases) {
    ::setenv("QV_C1", std::string(c.first, 'a').c_str(), 1);
    ::setenv("QV_C2", std::string(c.second, 'b').c_str(), 1);
    const std::wstring path = c.path ? std::wstring(c.path) : std::wstring(c.first, L'p');
    const std::wstring whole = std::wstring(c.first, L'a') + std::wstring(c.second, L'b') + L".";
    EXPECT_TRUE(expand_env_path(path.c_str()) == (c.whole ? whole : L"")) << c.first << "+" << c.second;
  }
  quorvel::platform::seam::CapExpandEnvironmentStrings(0);
}

}  // namespace
