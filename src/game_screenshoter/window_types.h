// The records a capture hands to Python: the captured output's pixels and the window's rectangle on them.
#pragma once

#include <cstdint>
#include <vector>

// A window's rectangle relative to the top-left corner of the captured output.
struct WindowRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t w = 0;
  std::int32_t h = 0;
};

// The whole output that shows the window: `height` rows of `row_pitch` bytes, 4 bytes per pixel (B, G, R, X/A).
// Moving it hands the pixel vector over without copying a byte.
struct WindowScreenshot {
  std::vector<std::uint8_t> image_blob;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t row_pitch = 0;
  std::int32_t rotation = 0;  // degrees: 0, 90, 180 or 270
  WindowRect area;
};
