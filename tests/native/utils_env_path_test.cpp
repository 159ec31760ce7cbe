// Environment expansion rules, the executable's path with Windows' truncation rule, and the executable's directory
// from a long path. (Short-buffer counts are the fuzz target's properties; long expansions are tested in Python.)
#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include "windows_test_support.h"
#else
#include "platform_test_support.h"
#endif
#include "utils/env_path.h"

namespace {

using platform_test::W;

#ifndef _WIN32
std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}
#endif

TEST(ExpandEnvironmentStrings, ReferencesAreReplacedOrKeptAsWritten) {
  ::setenv("QV_A", "alpha", 1);
  ::setenv("QV_EMPTY", "", 1);
  ::setenv("QV_REF", "%QV_A%", 1);
  ::unsetenv("QV_UNSET");
  const struct {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"%QV_A%\\x", L"alpha\\x"},
      {L"[%QV_EMPTY%]", L"[]"},
      {L"%QV_REF%", L"%QV_A%"},                      // values are not expanded again
#ifdef _WIN32
      {L"%qv_a%", L"alpha"},                         // names are case-insensitive on Windows
#else
      {L"%qv_a%", L"%qv_a%"},                        // names are case-sensitive here
#endif
      {L"%QV_UNSET%QV_A%", L"%QV_UNSET%QV_A%"},      // an unset reference is kept, its closing % included
      {L"%%QV_A%", L"%%QV_A%"},
      {L"50% of %QV_A", L"50% of %QV_A"},
      {L"%QV_A=x%", L"%QV_A=x%"},
  };
  for (const auto& c : cases) {
    WCHAR buffer[64];
    const DWORD count = ExpandEnvironmentStringsW(c.in, buffer, 64);
    EXPECT_EQ(std::wstring(buffer), c.out) << c.in;
    EXPECT_EQ(count, std::wcslen(c.out) + 1) << c.in;
  }
}

#ifndef _WIN32  // the Linux layer's own GetModuleFileNameW, over /proc/self/exe
TEST(ModuleFileName, IsTheExecutableWithWindowsTruncationRule) {
  const std::wstring exe = W(ExecutablePath());
  ASSERT_FALSE(exe.empty());
  std::wstring buffer(exe.size() + 1, L'#');
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())), exe.size());
  EXPECT_EQ(buffer, exe + L'\0');
  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), 5), 5u);
  EXPECT_EQ(::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer.c_str()), exe.substr(0, 4));
}

TEST(ExecutableDir, IsTheExecutablesDirectoryWithItsSeparator) {
  const std::string exe = ExecutablePath();
  EXPECT_EQ(GetExecutableDir(), W(exe.substr(0, exe.rfind('/') + 1)));
}

// A path past MAX_PATH comes back cut from the first buffer: the directory must still be whole. This binary,
// copied under a long directory, runs the test above there.
TEST(ExecutableDir, IsWholeForAnExecutablePastMaxPath) {
  platform_test::TempDir dir;
  std::string deep = dir.path();
  while (deep.size() < 400) deep += "/" + std::string(60, 'd');
  std::filesystem::create_directories(deep);
  const std::string copy = deep + "/utils_env_path_test";
  std::filesystem::copy_file(ExecutablePath(), copy);
  const std::string command =
      "'" + copy + "' --gtest_filter=ExecutableDir.IsTheExecutablesDirectoryWithItsSeparator >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << "run from " << copy;
}
#endif

}  // namespace
