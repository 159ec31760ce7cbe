// Expansion against an ExpandEnvironmentStringsW capped as Windows' is (32,767 characters whatever the buffer
// size; a result that does not fit leaves a cut string beside the count of the whole): expand_env_path gives the
// whole expansion or "", never the cut string or one padded with NULs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/linux/seam/seam_known_folders.h"
#include "utils/env_path.h"

namespace {

namespace seam = quorvel::platform::seam;

struct Cap {
  Cap() { seam::CapExpandEnvironmentStrings(32767); }
  ~Cap() { seam::CapExpandEnvironmentStrings(0); }
};

TEST(ExpandEnvPathCapped, GivesTheWholeExpansionOrNothing) {
  const Cap cap;
  const struct {
    std::size_t first, second;  // lengths of QV_C1 and QV_C2
    const wchar_t* path;        // or null: a path of `first` characters without references
    bool whole;
  } cases[] = {
      {300, 0, L"%QV_C1%.", true},             // needs a second, larger buffer
      {32765, 0, L"%QV_C1%.", true},           // count 32767: fills the capped buffer exactly
      {32766, 0, L"%QV_C1%.", false},          // the retry's count equals its size, the string is cut
      {20000, 20000, L"%QV_C1%%QV_C2%", false},  // cut, NULs behind it
      {40000, 0, nullptr, false},              // the first buffer is large enough, the cap cuts it
  };
  for (const auto& c : cases) {
    ::setenv("QV_C1", std::string(c.first, 'a').c_str(), 1);
    ::setenv("QV_C2", std::string(c.second, 'b').c_str(), 1);
    const std::wstring path = c.path != nullptr ? std::wstring(c.path) : std::wstring(c.first, L'p');
    const std::wstring expected =
        !c.whole ? std::wstring()
                 : std::wstring(c.first, L'a') + std::wstring(c.second, L'b') + (c.second == 0 ? L"." : L"");
    const std::wstring result = expand_env_path(path.c_str());
    EXPECT_TRUE(result == expected) << c.first << "+" << c.second << ": got " << result.size() << " characters";
  }
}

}  // namespace
