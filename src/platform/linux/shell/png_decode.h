// PNG files (icon entries and theme icons) decoded with libpng into straight-alpha 0xAARRGGBB, top row first.
// Samples are taken as stored: no gamma or colour-profile correction, so a pixel reads as any plain decoder
// (and as the theme's own file viewer) reads it; 16-bit samples keep their high byte.
#pragma once

#include <cstdint>
#include <span>

#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

inline constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool HasPngSignature(std::span<const std::uint8_t> bytes);

// False for a malformed or truncated file, or one wider or taller than kMaxIconSide (refused from its header,
// before any pixel memory is taken).
bool DecodePng(std::span<const std::uint8_t> bytes, IconImage& out);

}  // namespace quorvel::platform::icons
