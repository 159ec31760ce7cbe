// Shared by the shell icon PNG tests: a PNG reader that is not our encoder (libpng's simplified reading API; the
// system's decoder on Windows) and, on Linux, the counters that prove a call left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "icon_test_support.h"

#ifdef _WIN32

namespace quorvel::icon_test {

// On Windows the reader is the system's own PNG decoder, through GDI+ (started here, nested if already started).
inline IconImage DecodePng(const std::vector<unsigned char>& bytes) {
  IconImage image;
  ULONG_PTR token = 0;
  const Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return image;
  IStream* stream = nullptr;
  Gdiplus::GpBitmap* bitmap = nullptr;
  ULONG written = 0;
  if (CreateStreamOnHGlobal(nullptr, TRUE, &stream) == S_OK &&
      stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written) == S_OK &&
      stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr) == S_OK &&
      Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok) {
    GUID format{};
    UINT width = 0, height = 0;
    Gdiplus::DllExports::GdipGetImageRawFormat(bitmap, &format);
    Gdiplus::DllExports::GdipGetImageWidth(bitmap, &width);
    Gdiplus::DllExports::GdipGetImageHeight(bitmap, &height);
    const Gdiplus::Rect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    Gdiplus::BitmapData data{};
    if (format == Gdiplus::ImageFormatPNG &&
        Gdiplus::DllExports::GdipBitmapLockBits(bitmap, &all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB,
                                                &data) == Gdiplus::Ok) {
      image.width = width;
      image.height = height;
      image.pixels.resize(static_cast<std::size_t>(width) * height);
      for (UINT y = 0; y < height; ++y) {
        std::memcpy(image.pixels.data() + static_cast<std::size_t>(y) * width,
                    static_cast<const BYTE*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride, width * 4);
      }
      Gdiplus::DllExports::GdipBitmapUnlockBits(bitmap, &data);
    }
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
  }
  if (stream != nullptr) stream->Release();
  Gdiplus::GdiplusShutdown(token);
  return image;
}

}  // namespace quorvel::icon_test

namespace quorvel::platform::detail {

// What the Linux layer's helper of this name makes: a top-down 32-bit DIB section holding the image.
inline HBITMAP CreateDibSectionFromImage(icons::IconImage&& image) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), static_cast<LONG>(image.width), -static_cast<LONG>(image.height), 1, 32,
                    BI_RGB};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) std::memcpy(bits, image.pixels.data(), image.pixels.size() * 4);
  return bitmap;
}

}  // namespace quorvel::platform::detail

#else  // Linux: libpng, and the seam's counters

#include <png.h>

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
#endif
