// PrivateExtractIconsW makes the icon at exactly the size asked, as Windows does, from the group's nearest image.
#include <string>

#include "icon_test_support.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/gdi_objects.h"
#include "platform/win32.h"

namespace quorvel::icon_test {
namespace {

IconImage ExtractFirst(const std::string& file, int cx, int cy) {
  HICON icon = nullptr;
  IconImage image;
  if (PrivateExtractIconsW(platform::Utf8ToWide(Fixture(file)).c_str(), 0, cx, cy, &icon, nullptr, 1, 0) == 1) {
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
    EXPECT_EQ(image.width * 10000 + image.height, c.cx * 10000u + c.cy) << c.file << " " << c.cx << "x" << c.cy;
  }
  EXPECT_EQ(ExtractFirst("second.ico", 0xFFFF, 0xFFFF).width, 0u);  // refused, not allocated
  // Enlarged by an integer factor, each source pixel becomes a block.
  const IconImage source = Expected("second.ico", 0), image = ExtractFirst("second.ico", 64, 64);
  ASSERT_EQ(image.pixels.size(), 64u * 64u);
  for (std::uint32_t i = 0; i < 64 * 64; ++i) {
    ASSERT_EQ(image.pixels[i], source.pixels[(i / 128) * 32 + i % 64 / 2]) << "pixel " << i;
  }
}

}  // namespace
}  // namespace quorvel::icon_test
