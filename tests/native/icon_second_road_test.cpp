// ExtractIconPng, the road through the file's first icon, on the PE32+, PE32 and .ico fixtures. Also built for
// Windows and run under Wine, whose PrivateExtractIconsW and GDI+ are real: both systems must choose the same
// first group of each file and give its 48 x 48 entry pixel for pixel.
#include <optional>
#include <string>
#include <vector>

#include "icon_png_support.h"
#ifndef _WIN32
#include "platform/linux/base/wide.h"
#endif
#include "utils/shell_icon_png.h"

namespace quorvel::icon_test {
namespace {

TEST(IconSecondRoad, EachFilesFirstIconIsItsFirstGroupsEntryOf48) {
  // icons.exe: the named group "APPICON" comes before the numbered one; icons32.dll: group 2 before group 5.
  for (const char* file : {"icons.exe", "icons32.dll", "multi.ico"}) {
    const std::optional<std::vector<unsigned char>> png =
        ExtractIconPng(platform::Utf8ToWide(Fixture(file)), 48, 48);
    ASSERT_TRUE(png && !png->empty()) << file;
    EXPECT_TRUE(SameImage(DecodePng(*png), Expected("multi.ico", 3))) << file;
  }
  EXPECT_FALSE(ExtractIconPng(platform::Utf8ToWide(Fixture("noicon.exe")), 48, 48));
}

}  // namespace
}  // namespace quorvel::icon_test
