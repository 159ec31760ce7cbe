// The PNG colour types and depths a theme or an icon entry may use, written by Pillow from a theme icon and
// read back by our decoder and by Pillow: every form must come out as the same straight-alpha pixels.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "icon_test_support.h"
#include "platform/linux/shell/png_decode.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using platform::icons::DecodePng;
using platform::icons::IconImage;

TEST(IconPng, EveryColourTypeMatchesPillow) {
  const fs::path dir = fs::temp_directory_path() / ("quorvel-png-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const char* const forms[] = {"rgba", "rgb", "la", "l", "bilevel", "palette", "palette_trns", "rgb_trns"};
  const std::string script =
      "import sys; from PIL import Image; d = sys.argv[1]; "
      "im = Image.open('/usr/share/icons/Adwaita/48x48/places/folder.png').convert('RGBA'); "
      "im.save(d + '/rgba.png'); im.convert('RGB').save(d + '/rgb.png'); im.convert('LA').save(d + '/la.png'); "
      "im.convert('L').save(d + '/l.png'); im.convert('1').save(d + '/bilevel.png'); "
      "im.convert('RGB').quantize(16).save(d + '/palette.png'); "
      "p = im.convert('RGB').quantize(16); p.save(d + '/palette_trns.png', transparency=3); "
      "im.convert('RGB').save(d + '/rgb_trns.png', transparency=(255, 255, 255))";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\" '" + dir.string() + "'").c_str()), 0);
  for (const char* form : forms) {
    SCOPED_TRACE(form);
    const std::string path = (dir / (std::string(form) + ".png")).string();
    IconImage ours;
    ASSERT_TRUE(DecodePng(icon_test::ReadAll(path), ours));
    EXPECT_TRUE(icon_test::SameImage(ours, icon_test::DecodeWithPillow(path)));
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvel
