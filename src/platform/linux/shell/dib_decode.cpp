#include "platform/linux/shell/dib_decode.h"

#include <array>
#include <cstddef>
#include <utility>

namespace quorvel::platform::icons {
namespace {

std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::size_t Stride(std::uint32_t width, std::uint32_t bits) {
  return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
}

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kHeaderSize = 40;
// The largest header a DIB may carry (BITMAPV5HEADER); its extra fields mean nothing for an uncompressed image.
constexpr std::uint32_t kMaxHeaderSize = 124;

}  // namespace

bool DecodeDibIcon(std::span<const std::uint8_t> bytes, IconImage& out) {
  if (bytes.size() < kHeaderSize) return false;
  const std::uint8_t* p = bytes.data();
  std::uint32_t header_size = U32(p);
  auto width = static_cast<std::int32_t>(U32(p + 4));
  auto double_height = static_cast<std::int32_t>(U32(p + 8));
  std::uint16_t planes = U16(p + 12);
  std::uint16_t bits = U16(p + 14);
  std::uint32_t compression = U32(p + 16);
  std::uint32_t colours_used = U32(p + 32);
  if (header_size < kHeaderSize || header_size > kMaxHeaderSize || header_size > bytes.size()) return false;
  if (planes != 1 || compression != kBiRgb) return false;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
  // Bottom-up only: a negative height (top-down) is not an icon layout.
  if (width <= 0 || double_height <= 0 || double_height % 2 != 0) return false;
  const auto w = static_cast<std::uint32_t>(width);
  const auto h = static_cast<std::uint32_t>(double_height / 2);
  if (w > kMaxIconSide || h > kMaxIconSide) return false;

  std::array<std::uint32_t, 256> palette{};
  std::size_t offset = header_size;
  if (bits <= 8) {
    std::uint32_t colours = colours_used == 0 ? (1u << bits) : colours_used;
    if (colours > (1u << bits)) return false;
    if (bytes.size() - offset < static_cast<std::size_t>(colours) * 4) return false;
    for (std::uint32_t i = 0; i < colours; ++i) {
      const std::uint8_t* q = p + offset + i * 4;  // B, G, R, reserved
      palette[i] = (static_cast<std::uint32_t>(q[2]) << 16) | (static_cast<std::uint32_t>(q[1]) << 8) | q[0];
    }
    offset += static_cast<std::size_t>(colours) * 4;
  }

  const std::size_t xor_stride = Stride(w, bits);
  const std::size_t and_stride = Stride(w, 1);
  if (bytes.size() - offset < xor_stride * h) return false;
  const std::uint8_t* xor_rows = p + offset;
  offset += xor_stride * h;
  const bool has_mask = bytes.size() - offset >= and_stride * h;
  const std::uint8_t* and_rows = has_mask ? p + offset : nullptr;

  bool use_alpha = false;
  if (bits == 32) {
    for (std::uint32_t y = 0; y < h && !use_alpha; ++y) {
      const std::uint8_t* row = xor_rows + y * xor_stride;
      for (std::uint32_t x = 0; x < w; ++x) {
        if (row[x * 4 + 3] != 0) {
          use_alpha = true;
          break;
        }
      }
    }
  }
  if (!use_alpha && !has_mask) return false;

  IconImage image;
  image.width = w;
  image.height = h;
  image.pixels.resize(static_cast<std::size_t>(w) * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::size_t source_row = h - 1 - y;
    const std::uint8_t* row = xor_rows + source_row * xor_stride;
    const std::uint8_t* mask = has_mask ? and_rows + source_row * and_stride : nullptr;
    std::uint32_t* dst = image.pixels.data() + static_cast<std::size_t>(y) * w;
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint32_t colour = 0;
      switch (bits) {
        case 1: colour = palette[(row[x / 8] >> (7 - x % 8)) & 1]; break;
        case 4: colour = palette[(row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0xF]; break;
        case 8: colour = palette[row[x]]; break;
        case 24: {
          const std::uint8_t* q = row + x * 3;
          colour = (static_cast<std::uint32_t>(q[2]) << 16) | (static_cast<std::uint32_t>(q[1]) << 8) | q[0];
          break;
        }
        default: colour = U32(row + x * 4); break;
      }
      if (use_alpha) {
        dst[x] = colour;
      } else {
        const bool hidden = (mask[x / 8] >> (7 - x % 8)) & 1;
        dst[x] = hidden ? 0 : (0xFF000000u | (colour & 0x00FFFFFFu));
      }
    }
  }
  out = std::move(image);
  return true;
}

}  // namespace quorvel::platform::icons
