// PrivateExtractIconsW makes the icon at the size asked, as Windows does: the nearest image of the group, scaled
// to exactly cx x cy; and so the second road's PNG is 48 x 48 for a file without a 48 x 48 image.
#include <string>

#include "icon_png_support.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/gdi_objects.h"
#include "utils/shell_icon_png.h"

namespace quorvel::icon_test {
namespace {

using platform::Utf8ToWide;

IconImage ExtractFirst(const std::string& file, int cx, int cy) {
  HICON icon = nullptr;
  IconImage image;
  if (PrivateExtractIconsW(Utf8ToWide(Fixture(file)).c_str(), 0, cx, cy, &icon, nullptr, 1, LR_LOADFROMFILE) == 1) {
    platform::detail::CopyIconImage(icon, image);
    DestroyIcon(icon);
  }
  return image;
}

TEST(PrivateExtractIcons, MakesTheIconAtTheSizeAsked) {
  const struct {
    const char* file;
    int cx, cy;
  } cases[] = {{"second.ico", 20, 20}, {"second.ico", 48, 48}, {"icons.exe", 48, 24}, {"icons.exe", 17, 300}};
  for (const auto& c : cases) {
    const IconImage image = ExtractFirst(c.file, c.cx, c.cy);
    EXPECT_EQ(image.width, static_cast<std::uint32_t>(c.cx)) << c.file << " " << c.cx << "x" << c.cy;
    EXPECT_EQ(image.height, static_cast<std::uint32_t>(c.cy)) << c.file << " " << c.cx << "x" << c.cy;
  }
  // A size no icon may have is refused rather than allocated.
  EXPECT_EQ(ExtractFirst("second.ico", 0xFFFF, 0xFFFF).width, 0u);
}

TEST(PrivateExtractIcons, EnlargingByAnIntegerFactorRepeatsEachPixel) {
  const IconImage source = Expected("second.ico", 0);  // 32 x 32, the largest image
  const IconImage image = ExtractFirst("second.ico", 64, 64);
  ASSERT_EQ(image.width, 64u);
  ASSERT_EQ(image.height, 64u);
  for (std::uint32_t y = 0; y < 64; ++y) {
    for (std::uint32_t x = 0; x < 64; ++x) {
      ASSERT_EQ(image.pixels[y * 64 + x], source.pixels[(y / 2) * 32 + x / 2]) << "(" << x << ", " << y << ")";
    }
  }
}

TEST(ExtractIconPng, IsFortyEightSquareAlsoWithoutSuchAnImage) {
  const auto png = ExtractIconPng(Utf8ToWide(Fixture("second.ico")), 16, 16);
  ASSERT_TRUE(png && !png->empty());
  const IconImage image = DecodePng(*png);
  EXPECT_EQ(image.width, 48u);
  EXPECT_EQ(image.height, 48u);
}

}  // namespace
}  // namespace quorvel::icon_test
