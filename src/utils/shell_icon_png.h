// A file's shell icon as the bytes of a PNG file: the shell's icon image for the item at the size asked, copied
// into a 32-bit ARGB GDI+ bitmap and encoded by GDI+'s PNG encoder. Each call initialises COM and starts GDI+
// for itself and releases everything it made before it returns; nothing is logged, failures are results.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

// No request may ask for a side longer than this: a larger width or height gives no image, before anything is
// asked of the shell (a shell scales icons to the requested size, so the request bounds the allocation).
inline constexpr std::uint32_t kMaxShellIconSide = 4096;

// The PNG file of the shell's icon for `file_name`. Empty optional: no image could be had or converted; empty
// vector: the encoding failed after the bitmap was made. The only exception is std::bad_alloc for the result.
std::optional<std::vector<unsigned char>> ExtractPngFromExecutableIcon(const std::wstring& file_name,
                                                                      std::uint32_t width, std::uint32_t height);

// The shell's icon image for the item (SIIGBF_BIGGERSIZEOK | SIIGBF_ICONONLY), or null. Initialises COM as a
// single-threaded apartment for the call: a thread in the multithreaded apartment gets null. A name holding a
// NUL names nothing (null), as does one the platform cannot take as a file name.
HBITMAP GetShellItemImage(const std::wstring& file_name, std::uint32_t width, std::uint32_t height);

// A GDI+ bitmap with the last status of the operations on it. Disposes of its native bitmap when destroyed,
// which must happen while GDI+ is still started.
struct GdiplusBitmap {
  Gdiplus::GpBitmap* native = nullptr;
  Gdiplus::Status status = Gdiplus::Ok;

  GdiplusBitmap() = default;
  GdiplusBitmap(const GdiplusBitmap&) = delete;
  GdiplusBitmap& operator=(const GdiplusBitmap&) = delete;
  ~GdiplusBitmap();
};

// A 32bppARGB copy of the bitmap, or null. Its status is not Ok when the pixels could not be locked, copied
// (GetDIBits delivered fewer lines than the bitmap has) or unlocked.
std::unique_ptr<GdiplusBitmap> HBitmapToGdiplusBitmap(HBITMAP image);

// The PNG file of the bitmap: exactly its bytes, however large the memory block behind the stream. Empty on
// failure.
std::vector<unsigned char> GdiplusBitmapToPng(GdiplusBitmap& bitmap);

// The index of the first GDI+ encoder whose MIME type equals `format` (case-insensitive) with its CLSID in
// `clsid`, or -1.
INT GetEncoderClsid(const WCHAR* format, CLSID* clsid);

// A second road to the PNG bytes, through the file's first icon (ExtractExecutableIcon) instead of the shell
// item. Nothing in the module calls it.
std::optional<std::vector<unsigned char>> ExtractIconPng(const std::wstring& file_name, std::uint32_t width,
                                                         std::uint32_t height);

// The first icon of a PE or .ico file, at 48 x 48 whatever the size asked, or null (also for a name holding a NUL).
HICON ExtractExecutableIcon(const std::wstring& file_name, std::uint32_t width, std::uint32_t height);
