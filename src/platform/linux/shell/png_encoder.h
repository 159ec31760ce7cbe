// PNG files from 32-bit BGRA pixels (GDI+'s 32bppARGB in memory), on libpng.
#pragma once

#include <cstddef>
#include <cstdint>

struct IStream;

namespace quorvel::platform::detail {

// Writes an 8-bit RGBA, non-interlaced PNG of the pixels to `out` at its position; every byte of every pixel is
// kept, alpha included, with nothing premultiplied. `stride` is the distance between rows in bytes. False when
// libpng fails or the stream refuses a write.
bool EncodePng(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::ptrdiff_t stride,
               IStream* out);

}  // namespace quorvel::platform::detail
