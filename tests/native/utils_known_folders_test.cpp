// Known folders: the GUID parser's null-pointer rules, the user-dirs.dirs reader, the base-directory rows of the
// mapping table, and the shell's string freed on every path. (The user directories against Debian's xdg-user-dir
// are checked end to end in tests/python/test_utils_paths.py.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "platform/linux/seam/seam.h"
#include "platform/linux/seam/seam_known_folders.h"
#include "platform/linux/shell/user_dirs.h"
#include "platform_test_support.h"
#include "utils/known_folders.h"

namespace {

using platform_test::TempDir;
using platform_test::W;
namespace seam = quorvel::platform::seam;

// The refusals and round trips are the fuzz target's properties; these are the null-pointer rules.
TEST(ClsidFromString, NullStringIsTheNullGuidAndNullOutputIsInvalid) {
  CLSID id{FOLDERID_Music};
  EXPECT_EQ(CLSIDFromString(nullptr, &id), S_OK);
  EXPECT_EQ(id, GUID{});
  EXPECT_EQ(CLSIDFromString(L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", nullptr), E_INVALIDARG);
}

TEST(UserDirsFile, ReadsWhatXdgUserDirsWritesAndSkipsWhatAShellWouldReadOtherwise) {
  using quorvel::platform::xdg::FindUserDir;
  using namespace std::string_view_literals;
  const struct {
    std::string_view content;
    std::optional<std::string> music;
  } cases[] = {
      {"XDG_MUSIC_DIR=\"$HOME/M\xC3\xBAsica\"\n", "/h/M\xC3\xBAsica"},
      {"  XDG_MUSIC_DIR=\"$HOME\"  # no music folder\n", "/h"},
      {"XDG_MUSIC_DIR=\"/srv/a\\\"b\\$c\\\\d\\e\"", "/srv/a\"b$c\\d\\e"},
      {"XDG_MUSIC_DIR=\"/kept\"\nXDG_MUSIC_DIR=\"$HOMEX/x\"\n# XDG_MUSIC_DIR=\"/commented\"", "/kept"},
      {"XDG_MUSIC_DIR=\"relative\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"$HOME/$USER\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/a`id`\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/glued\"tail\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/unterminated\n\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/kept\"\nXDG_MUSIC_DIR=\"$HOME/M\0usic\"\n"sv, "/kept"},
      {"XDG_MUSIC_DIR=\"/m\" #\0\n"sv, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(FindUserDir(c.content, "MUSIC", "/h"), c.music) << c.content;
}

class KnownFolderEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / "conf").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    platform_test::MakeDir(home_ / "conf");
  }
  void TearDown() override { seam::Reset(); }
  TempDir home_;
};

TEST_F(KnownFolderEnvironment, BaseDirectoriesFollowTheirVariablesWhenAbsolute) {
  // Relative: ignored, so the default under $HOME, which must exist to be reported.
  ::setenv("XDG_DATA_HOME", "relative/share", 1);
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_LocalAppData), L"");
  PWSTR path = nullptr;
  EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_SavedGames, 0, nullptr, &path), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(path, nullptr);
  ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_SavedGames, KF_FLAG_DONT_VERIFY, nullptr, &path), S_OK);
  EXPECT_STREQ(path, W(home_ / ".local/share").c_str());
  CoTaskMemFree(path);
  ::setenv("XDG_DATA_HOME", (home_ / "conf").c_str(), 1);
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_LocalAppDataLow), W(home_ / "conf"));
}

TEST_F(KnownFolderEnvironment, WithoutHomeThePasswordDatabaseGivesTheProfile) {
  ::unsetenv("HOME");
  const std::wstring profile = GetKnownFolderPath(FOLDERID_Profile);
  ASSERT_FALSE(profile.empty());
  EXPECT_EQ(profile.front(), L'/');
}

TEST_F(KnownFolderEnvironment, TheShellsStringIsFreedOnEveryPath) {
  const long before = seam::LiveCoTaskMemBlocks();
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_Profile), W(home_.path()));
  seam::FailNext("SHGetKnownFolderPath", ERROR_ACCESS_DENIED);  // fails after handing out the string
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_Profile), L"");
  seam::FailNext("CoTaskMemAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_Profile), L"");
  EXPECT_EQ(seam::LiveCoTaskMemBlocks(), before);
}

}  // namespace
