// Shared by the shell icon PNG tests: a PNG reader that is not our encoder (libpng's simplified reading API) and
// the counters that prove a call left nothing behind.
#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "icon_test_support.h"
#include "platform/linux/seam/seam_shell_image.h"

namespace quorvel::icon_test {

// The PNG's pixels as 0xAARRGGBB, top row first; an empty image when libpng refuses the bytes.
inline IconImage DecodePng(const std::vector<unsigned char>& bytes) {
  IconImage image;
  png_image reader;
  std::memset(&reader, 0, sizeof(reader));
  reader.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&reader, bytes.data(), bytes.size())) return image;
  reader.format = PNG_FORMAT_BGRA;  // little-endian 0xAARRGGBB words
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(reader.width) * reader.height);
  if (!png_image_finish_read(&reader, nullptr, pixels.data(), 0, nullptr)) return image;
  image.width = reader.width;
  image.height = reader.height;
  image.pixels = std::move(pixels);
  return image;
}

struct LiveObjects {
  long com = platform::seam::LiveComObjects();
  std::size_t gdi = platform::seam::LiveGdiObjects();
  long gdiplus_bitmaps = platform::seam::LiveGdiplusBitmaps();
  long gdiplus_startups = platform::seam::ActiveGdiplusStartups();
  std::size_t global_blocks = platform::seam::LiveGlobalBlocks();

  bool operator==(const LiveObjects&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LiveObjects& live) {
  return out << "{com " << live.com << ", gdi " << live.gdi << ", gdi+ bitmaps " << live.gdiplus_bitmaps
             << ", gdi+ start-ups " << live.gdiplus_startups << ", global blocks " << live.global_blocks << "}";
}

}  // namespace quorvel::icon_test
