// LoadShellIcon over real items: the built PE and .ico fixtures, and folders and files that take their icons
// from the installed Adwaita theme, compared with the theme's PNG decoded by Pillow.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "icon_test_support.h"
#include "platform/linux/shell/icon_source.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using icon_test::DecodeWithPillow;
using icon_test::Expected;
using icon_test::Fixture;
using icon_test::SameImage;
using platform::icons::IconImage;
using platform::icons::IconResult;
using platform::icons::LoadShellIcon;

class ShellIcon : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quorvel-shell-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "folder.exe");  // a folder is a folder, whatever its name
    std::ofstream(dir_ / "notes.txt") << "plain words\n";
    std::ofstream(dir_ / "broken.exe") << "MZ and nothing more";
    std::ofstream(dir_ / "broken.ico") << "not an icon";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ShellIcon, ItemsAndTheirIcons) {
  const std::string adwaita = "/usr/share/icons/Adwaita/";
  struct Row {
    std::string path;
    std::uint32_t size;
    IconImage expected;
  };
  const Row rows[] = {
      {Fixture("icons.exe"), 48, Expected("multi.ico", 3)},  // first group: the named one
      {Fixture("icons32.dll"), 16, Expected("multi.ico", 1)},
      {Fixture("multi.ico"), 64, Expected("multi.ico", 4)},
      {Fixture("noicon.exe"), 48, DecodeWithPillow(adwaita + "48x48/mimetypes/application-x-executable.png")},
      {(dir_ / "broken.exe").string(), 16, DecodeWithPillow(adwaita + "16x16/mimetypes/application-x-executable.png")},
      {(dir_ / "folder.exe").string(), 20, DecodeWithPillow(adwaita + "22x22/places/folder.png")},
      {dir_.string(), 600, DecodeWithPillow(adwaita + "512x512/places/folder.png")},
      {(dir_ / "notes.txt").string(), 32, DecodeWithPillow(adwaita + "32x32/mimetypes/text-x-generic.png")},
      {(dir_ / "broken.ico").string(), 24, DecodeWithPillow(adwaita + "24x24/mimetypes/image-x-generic.png")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    IconImage image;
    ASSERT_EQ(LoadShellIcon(row.path, row.size, row.size, image), IconResult::kOk);
    EXPECT_TRUE(SameImage(image, row.expected));
  }
}

TEST_F(ShellIcon, MissingItems) {
  for (const std::string& path : {(dir_ / "absent.exe").string(), (dir_ / "notes.txt" / "below").string(),
                                  std::string()}) {
    IconImage image;
    EXPECT_EQ(LoadShellIcon(path, 32, 32, image), IconResult::kNoSuchItem) << path;
  }
}

}  // namespace
}  // namespace quorvel
