#include "platform/linux/shell/icon_scale.h"

#include <algorithm>

namespace quorvel::platform::icons {

IconImage ScaleImage(const IconImage& image, std::uint32_t width, std::uint32_t height) {
  IconImage out;
  out.width = width;
  out.height = height;
  out.pixels.resize(static_cast<std::size_t>(width) * height);
  for (std::uint32_t ty = 0; ty < height; ++ty) {
    const auto y0 = static_cast<std::uint32_t>(std::uint64_t{ty} * image.height / height);
    const std::uint32_t y1 =
        std::max(y0 + 1, static_cast<std::uint32_t>(std::uint64_t{ty + 1} * image.height / height));
    for (std::uint32_t tx = 0; tx < width; ++tx) {
      const auto x0 = static_cast<std::uint32_t>(std::uint64_t{tx} * image.width / width);
      const std::uint32_t x1 =
          std::max(x0 + 1, static_cast<std::uint32_t>(std::uint64_t{tx + 1} * image.width / width));
      std::uint32_t& target = out.pixels[static_cast<std::size_t>(ty) * width + tx];
      if (y1 - y0 == 1 && x1 - x0 == 1) {  // one source pixel: copied as it is, colour under alpha 0 included
        target = image.pixels[static_cast<std::size_t>(y0) * image.width + x0];
        continue;
      }
      std::uint64_t a = 0, r = 0, g = 0, b = 0;
      for (std::uint32_t y = y0; y < y1; ++y) {
        for (std::uint32_t x = x0; x < x1; ++x) {
          const std::uint32_t p = image.pixels[static_cast<std::size_t>(y) * image.width + x];
          const std::uint32_t alpha = p >> 24;
          a += alpha;
          r += ((p >> 16) & 0xFF) * alpha;
          g += ((p >> 8) & 0xFF) * alpha;
          b += (p & 0xFF) * alpha;
        }
      }
      const std::uint64_t count = std::uint64_t{y1 - y0} * (x1 - x0);
      std::uint32_t pixel = 0;
      if (a > 0) {
        const auto channel = [a](std::uint64_t sum) { return static_cast<std::uint32_t>((sum + a / 2) / a); };
        pixel = static_cast<std::uint32_t>((a + count / 2) / count) << 24 | channel(r) << 16 | channel(g) << 8 |
                channel(b);
      }
      target = pixel;
    }
  }
  return out;
}

}  // namespace quorvel::platform::icons
