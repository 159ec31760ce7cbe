#include "platform/linux/shell/png_decode.h"

#include <png.h>

#include <bit>
#include <cstring>
#include <utility>
#include <vector>

namespace quorvel::platform::icons {
namespace {

// libpng writes B, G, R, A bytes straight into the 32-bit pixels, which makes 0xAARRGGBB only on little-endian.
static_assert(std::endian::native == std::endian::little);

// Ancillary chunks (text, profiles) are never needed; this caps what one of them may make libpng allocate.
constexpr png_alloc_size_t kMaxChunkBytes = 1u << 20;

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

void ReadInput(png_structp png, png_bytep out, png_size_t count) {
  auto* in = static_cast<Input*>(png_get_io_ptr(png));
  if (count > in->size - in->pos) png_error(png, "truncated");
  std::memcpy(out, in->data + in->pos, count);
  in->pos += count;
}

[[noreturn]] void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

// The two steps that may longjmp hold no C++ object with a destructor in their frames.
bool ReadHeader(png_structp png, png_infop info, png_uint_32& width, png_uint_32& height) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_sig_bytes(png, 0);
  png_set_user_limits(png, kMaxIconSide, kMaxIconSide);
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  png_read_info(png, info);
  int bit_depth = 0, colour_type = 0;
  png_get_IHDR(png, info, &width, &height, &bit_depth, &colour_type, nullptr, nullptr, nullptr);
  if (bit_depth == 16) png_set_strip_16(png);
  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  if (!(colour_type & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS)) {
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  }
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return png_get_rowbytes(png, info) == static_cast<png_size_t>(width) * 4;
}

bool ReadRows(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  return true;
}

}  // namespace

bool HasPngSignature(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof kPngSignature && std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) == 0;
}

bool DecodePng(std::span<const std::uint8_t> bytes, IconImage& out) {
  if (!HasPngSignature(bytes)) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  Input input{bytes.data(), bytes.size(), 0};
  png_set_read_fn(png, &input, ReadInput);

  png_uint_32 width = 0, height = 0;
  bool ok = ReadHeader(png, info, width, height) && width > 0 && height > 0 && width <= kMaxIconSide &&
            height <= kMaxIconSide;
  IconImage image;
  if (ok) {
    image.width = width;
    image.height = height;
    image.pixels.assign(static_cast<std::size_t>(width) * height, 0);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) {
      rows[y] = reinterpret_cast<png_bytep>(image.pixels.data() + static_cast<std::size_t>(y) * width);
    }
    ok = ReadRows(png, rows.data());
  }
  png_destroy_read_struct(&png, &info, nullptr);
  if (!ok) return false;
  out = std::move(image);
  return true;
}

}  // namespace quorvel::platform::icons
