// Known folders: the GUID parser's verdicts, the user-dirs.dirs reader, the base-directory rows of the mapping
// table, and the shell's string freed on every path. (The user directories against Debian's xdg-user-dir are
// checked end to end in tests/python/test_utils_paths.py.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "platform/linux/seam.h"
#include "platform/linux/seam_known_folders.h"
#include "platform/linux/user_dirs.h"
#include "platform_test_support.h"
#include "utils/known_folders.h"

namespace {

using platform_test::TempDir;
using platform_test::W;
namespace seam = quorvel::platform::seam;

TEST(ClsidFromString, AcceptsOnlyTheBracedRegistryForm) {
  const struct {
    const wchar_t* text;
    HRESULT hr;
  } cases[] = {
      {L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", S_OK},
      {L"{fdd39ad0-238f-46af-adb4-6c85480369c7}", S_OK},
      {L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}x", CO_E_CLASSSTRING},
      {L"FDD39AD0-238F-46AF-ADB4-6C85480369C7", CO_E_CLASSSTRING},
      {L"{FDD39AD0-238F-46AF-ADB46C85480369C7}", CO_E_CLASSSTRING},
      {L"{FDD39AD0-238F-46AF-ADB4-6C85480369CG}", CO_E_CLASSSTRING},
      {L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7", CO_E_CLASSSTRING},
      {L"{0xD39AD0-238F-46AF-ADB4-6C85480369C7}", CO_E_CLASSSTRING},
      {L"{ DD39AD0-238F-46AF-ADB4-6C85480369C7}", CO_E_CLASSSTRING},
      {L"{FDD39AD0", CO_E_CLASSSTRING},
      {L"", CO_E_CLASSSTRING},
  };
  for (const auto& c : cases) {
    CLSID id;
    std::memset(&id, 0x55, sizeof id);
    EXPECT_EQ(CLSIDFromString(c.text, &id), c.hr) << c.text;
    EXPECT_EQ(id, c.hr == S_OK ? FOLDERID_Documents : GUID{}) << c.text;
  }
  CLSID id{FOLDERID_Music};
  EXPECT_EQ(CLSIDFromString(nullptr, &id), S_OK);
  EXPECT_EQ(id, GUID{});
  EXPECT_EQ(CLSIDFromString(L"{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", nullptr), E_INVALIDARG);
}

TEST(UserDirsFile, ReadsWhatXdgUserDirsWritesAndSkipsWhatAShellWouldReadOtherwise) {
  using quorvel::platform::xdg::FindUserDir;
  const struct {
    const char* content;
    std::optional<std::string> music;
  } cases[] = {
      {"XDG_MUSIC_DIR=\"$HOME/M\xC3\xBAsica\"\n", "/h/M\xC3\xBAsica"},
      {"  XDG_MUSIC_DIR=\"$HOME\"  # no music folder\n", "/h"},
      {"XDG_MUSIC_DIR=\"/srv/a\\\"b\\$c\\\\d\\e\"", "/srv/a\"b$c\\d\\e"},
      {"XDG_MUSIC_DIR=\"/first\"\nXDG_MUSIC_DIR=\"/second\"\n", "/second"},
      {"XDG_MUSIC_DIR=\"/kept\"\nXDG_MUSIC_DIR=\"$HOMEX/x\"\n", "/kept"},
      {"# XDG_MUSIC_DIR=\"/commented\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=/unquoted\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"relative\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"$HOME/$USER\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/a`id`\"\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/glued\"tail\n", std::nullopt},
      {"XDG_MUSIC_DIR=\"/unterminated\n\"\n", std::nullopt},
      {"XDG_MUSIC_DIRX=\"/other\"\nXDG_MUSIC_DIR =\"/spaced\"\n", std::nullopt},
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
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_RoamingAppData), W(home_ / "conf"));
  EXPECT_EQ(GetKnownFolderPath(FOLDERID_Profile), W(home_.path()));
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

TEST_F(KnownFolderEnvironment, IdentifiersWithoutACounterpartAndOtherUsersAreRefused) {
  PWSTR path = reinterpret_cast<PWSTR>(&path);
  const GUID windows_folder{0xf38bf404, 0x1d43, 0x42f2, {0x93, 0x05, 0x67, 0xde, 0x0b, 0x28, 0xfc, 0x23}};
  EXPECT_EQ(SHGetKnownFolderPath(windows_folder, 0, nullptr, &path), E_INVALIDARG);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_Profile, 0, reinterpret_cast<HANDLE>(8), &path), E_INVALIDARG);
  EXPECT_EQ(get_known_path(L"{F38BF404-1D43-42F2-9305-67DE0B28FC23}"), L"");
  EXPECT_EQ(get_known_path(std::wstring(L"{5E6C858F-0E22-4760-9AFE-EA3317B67173}\0tail", 43)), W(home_.path()));
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
