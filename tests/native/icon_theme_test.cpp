// Theme lookup against a theme tree the test lays out itself (so the installed theme's version does not
// matter): name order before theme order, the size choice, any context folder, and the built-in icon when no
// theme is installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "icon_test_support.h"
#include "platform/linux/shell/icon_source.h"
#include "platform/linux/shell/icon_theme.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using platform::icons::BuiltinIcon;
using platform::icons::FindThemeIcon;
using platform::icons::IconImage;
using platform::icons::IconResult;
using platform::icons::LoadShellIcon;
using platform::icons::LoadThemeIcon;

// Installed Adwaita PNGs, copied into the test's own tree, serve as distinct theme files.
const std::string kAdwaita = "/usr/share/icons/Adwaita";

class IconTheme : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quorvel-theme-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "home");
    Save("HOME", (root_ / "home").string());
    Save("XDG_DATA_HOME", (root_ / "home").string());
    Save("XDG_DATA_DIRS", (root_ / "first").string() + ":" + (root_ / "second").string());
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value.has_value) {
        ::setenv(name.c_str(), value.text.c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    fs::remove_all(root_);
  }
  // Places the installed Adwaita file `source` as <base>/icons/<theme>/<dir>/<name>.png.
  std::string Place(const std::string& base, const std::string& theme, const std::string& dir,
                    const std::string& name, const std::string& source) {
    const fs::path target = root_ / base / "icons" / theme / dir / (name + ".png");
    fs::create_directories(target.parent_path());
    fs::copy_file(kAdwaita + "/" + source, target);
    return target.string();
  }

  fs::path root_;

 private:
  struct Value {
    bool has_value;
    std::string text;
  };
  void Save(const char* name, const std::string& value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, Value{old != nullptr, old != nullptr ? old : ""}});
    ::setenv(name, value.c_str(), 1);
  }
  std::vector<std::pair<std::string, Value>> saved_;
};

TEST_F(IconTheme, SizeChoiceAcrossContextsAndBases) {
  const std::string small = Place("first", "hicolor", "16x16/apps", "probe", "16x16/places/folder.png");
  const std::string mid = Place("second", "hicolor", "32x32/legacy", "probe", "32x32/places/folder.png");
  const std::string large = Place("first", "hicolor", "48x48/mimetypes", "probe", "48x48/places/folder.png");
  Place("first", "hicolor", "scalable/apps", "probe", "48x48/places/folder.png");  // not a fixed size: ignored
  struct Row {
    std::uint32_t cx, cy;
    const std::string& expected;
  };
  const Row rows[] = {{16, 16, small}, {17, 17, mid}, {32, 32, mid}, {33, 20, large}, {8, 40, large}, {200, 200, large}};
  for (const Row& row : rows) {
    std::string path;
    ASSERT_TRUE(FindThemeIcon({"probe"}, row.cx, row.cy, path));
    EXPECT_EQ(path, row.expected) << row.cx << "x" << row.cy;
  }
  IconImage image;
  LoadThemeIcon({"probe"}, 20, 20, image);
  EXPECT_TRUE(icon_test::SameImage(image, icon_test::DecodeWithPillow(mid)));
}

TEST_F(IconTheme, EarlierNameWinsOverEarlierTheme) {
  const std::string hicolor = Place("second", "hicolor", "16x16/apps", "wanted", "16x16/places/folder.png");
  Place("first", "Adwaita", "16x16/apps", "fallback", "16x16/mimetypes/text-x-generic.png");
  const std::string adwaita = Place("second", "Adwaita", "16x16/apps", "wanted", "16x16/mimetypes/text-x-generic.png");
  std::string path;
  ASSERT_TRUE(FindThemeIcon({"absent", "wanted", "fallback"}, 16, 16, path));
  EXPECT_EQ(path, adwaita);  // Adwaita before hicolor for the same name
  fs::remove(adwaita);
  ASSERT_TRUE(FindThemeIcon({"absent", "wanted", "fallback"}, 16, 16, path));
  EXPECT_EQ(path, hicolor);  // a later theme's icon for an earlier name beats an earlier name's absence
}

TEST_F(IconTheme, BuiltinOnlyWithoutTheme) {
  const fs::path folder = root_ / "folder";
  fs::create_directories(folder);
  IconImage image;
  ASSERT_EQ(LoadShellIcon(folder.string(), 48, 48, image), IconResult::kOk);
  const IconImage builtin = BuiltinIcon();
  EXPECT_TRUE(icon_test::SameImage(image, builtin));

  const std::string themed = Place("first", "hicolor", "48x48/places", "folder", "48x48/places/folder.png");
  ASSERT_EQ(LoadShellIcon(folder.string(), 48, 48, image), IconResult::kOk);
  EXPECT_TRUE(icon_test::SameImage(image, icon_test::DecodeWithPillow(themed)));
}

}  // namespace
}  // namespace quorvel
