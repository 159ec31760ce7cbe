// libpng reports errors by longjmp: nothing with a destructor lives in EncodePng's frame between setjmp and the
// end of the encoding, and every callback is a plain function.
#include "platform/linux/shell/png_encoder.h"

#include <png.h>

#include "platform/win32.h"

namespace quorvel::platform::detail {
namespace {

void WriteToStream(png_structp png, png_bytep data, png_size_t length) {
  auto* stream = static_cast<IStream*>(png_get_io_ptr(png));
  while (length > 0) {
    const ULONG chunk = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
    ULONG written = 0;
    if (FAILED(stream->Write(data, chunk, &written)) || written != chunk) png_error(png, "stream write failed");
    data += chunk;
    length -= chunk;
  }
}

void FlushNothing(png_structp) {}

void SilentWarning(png_structp, png_const_charp) {}
void ErrorJump(png_structp png, png_const_charp) { png_longjmp(png, 1); }

}  // namespace

bool EncodePng(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, std::ptrdiff_t stride,
               IStream* out) {
  if (pixels == nullptr || out == nullptr || width == 0 || height == 0) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, &ErrorJump, &SilentWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, &WriteToStream, &FlushNothing);
  // Speed over size, as GDI+ does: libpng's defaults (zlib level 6, every row tried with all five filters) take
  // three to twenty-five times as long on icons. One fixed Sub filter at level 3 costs little over level 1 and
  // keeps files within about twice the defaults' size (README, "Icon to PNG").
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(png, 3);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);  // rows are B, G, R, A in memory
  for (std::uint32_t y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(pixels + static_cast<std::ptrdiff_t>(y) * stride));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace quorvel::platform::detail
