// Resampling of icon images, for the sizes callers ask of the shell and of PrivateExtractIconsW.
#pragma once

#include <cstdint>

#include "platform/linux/shell/icon_source.h"

namespace quorvel::platform::icons {

// `image` at exactly width x height (both > 0). Each target pixel is the average of the source pixels it covers,
// weighted by their alpha so that transparent pixels lend no colour; enlarging repeats source pixels as they are (an
// integer factor copies each one into a block). std::bad_alloc when the pixels cannot be had.
IconImage ScaleImage(const IconImage& image, std::uint32_t width, std::uint32_t height);

}  // namespace quorvel::platform::icons
