// The BMP form of an icon image: a BITMAPINFOHEADER, a colour table for 1, 4 and 8 bits per pixel, the colour
// (XOR) rows and the 1-bit AND mask rows, both bottom-up, the header's height counting both. Decoded into
// straight-alpha 0xAARRGGBB, top row first:
// - a 32-bit image with any non-zero alpha byte uses its alpha, pixels kept as stored, and needs no mask;
// - otherwise every pixel is opaque unless its mask bit is set, and a masked pixel becomes 0 (fully
//   transparent black: the screen-inverting XOR colour an icon may leave there has no straight-alpha form).
#pragma once

#include <cstdint>
#include <span>

#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

// False for anything but an uncompressed (BI_RGB) 1, 4, 8, 24 or 32-bit icon image whose rows are all present,
// or one wider or taller than kMaxIconSide.
bool DecodeDibIcon(std::span<const std::uint8_t> bytes, IconImage& out);

}  // namespace quorvel::platform::icons
