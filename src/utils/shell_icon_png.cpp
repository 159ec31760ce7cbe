#include "utils/shell_icon_png.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

using namespace Gdiplus;

namespace {

// What a conversion holds once it has an icon image, released in this order on every path, also when the
// result's allocation throws: the GDI+ bitmap, the image, then GDI+.
class Conversion {
 public:
  explicit Conversion(std::function<void()> delete_image) : delete_image_(std::move(delete_image)) {}
  ~Conversion() {
    bitmap.reset();
    delete_image_();
    if (started_) GdiplusShutdown(token_);
  }
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  bool StartGdiplus() {
    const GdiplusStartupInput input;  // version 1, no callback, background thread, external codecs
    started_ = GdiplusStartup(&token_, &input, nullptr) == Ok;
    return started_;
  }

  std::unique_ptr<GdiplusBitmap> bitmap;

 private:
  std::function<void()> delete_image_;
  ULONG_PTR token_ = 0;
  bool started_ = false;
};

template <typename Convert>
std::optional<std::vector<unsigned char>> EncodeIcon(Conversion& conversion, Convert convert) {
  if (!conversion.StartGdiplus()) return std::nullopt;
  conversion.bitmap = convert();
  if (!conversion.bitmap || conversion.bitmap->status != Ok) return std::nullopt;
  return GdiplusBitmapToPng(*conversion.bitmap);
}

}  // namespace

GdiplusBitmap::~GdiplusBitmap() {
  if (native != nullptr) DllExports::GdipDisposeImage(native);
}

std::optional<std::vector<unsigned char>> ExtractPngFromExecutableIcon(const std::wstring& file_name,
                                                                      std::uint32_t width, std::uint32_t height) {
  HBITMAP image = GetShellItemImage(file_name, width, height);
  if (image == nullptr) return std::nullopt;
  Conversion conversion([image] { DeleteObject(image); });
  return EncodeIcon(conversion, [image] { return HBitmapToGdiplusBitmap(image); });
}

namespace {

// A name with a NUL names no file: cut there for the shell call, it would name another one.
bool NamesNothing(const std::wstring& file_name) {
  return file_name.empty() || file_name.find(L'\0') != std::wstring::npos;
}

}  // namespace

HBITMAP GetShellItemImage(const std::wstring& file_name, std::uint32_t width, std::uint32_t height) {
  if (NamesNothing(file_name) || width == 0 || height == 0) return nullptr;
  if (width > kMaxShellIconSide || height > kMaxShellIconSide) return nullptr;
  if (FAILED(CoInitialize(nullptr))) return nullptr;  // S_FALSE (already a single-threaded apartment) is success

  HBITMAP image = nullptr;
  IShellItem* item = nullptr;
  IShellItemImageFactory* factory = nullptr;
  if (SUCCEEDED(SHCreateItemFromParsingName(file_name.c_str(), nullptr, __uuidof(IShellItem),
                                            reinterpret_cast<void**>(&item))) &&
      SUCCEEDED(item->QueryInterface(__uuidof(IShellItemImageFactory), reinterpret_cast<void**>(&factory)))) {
    const SIZE size{static_cast<LONG>(width), static_cast<LONG>(height)};
    HBITMAP made = nullptr;
    if (SUCCEEDED(factory->GetImage(size, SIIGBF_BIGGERSIZEOK | SIIGBF_ICONONLY, &made))) image = made;
  }
  if (factory != nullptr) factory->Release();
  if (item != nullptr) item->Release();
  CoUninitialize();
  return image;
}

std::unique_ptr<GdiplusBitmap> HBitmapToGdiplusBitmap(HBITMAP image) {
  BITMAP description;
  std::memset(&description, 0, sizeof(description));
  if (GetObjectA(image, sizeof(BITMAP), &description) == 0) return nullptr;
  const INT width = description.bmWidth;
  const INT height = description.bmHeight;

  std::unique_ptr<GdiplusBitmap> bitmap(new (std::nothrow) GdiplusBitmap);
  if (!bitmap) return nullptr;
  bitmap->status = DllExports::GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr,
                                                         &bitmap->native);
  if (bitmap->status != Ok) return nullptr;

  const Rect whole(0, 0, width, height);
  BitmapData locked;
  std::memset(&locked, 0, sizeof(locked));
  bitmap->status = DllExports::GdipBitmapLockBits(bitmap->native, &whole, ImageLockModeWrite, PixelFormat32bppARGB,
                                                  &locked);
  if (bitmap->status != Ok) return bitmap;

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info;
  std::memset(&info, 0, sizeof(info));
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // rows top-down, as GDI+ lays them out
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const int lines = GetDIBits(memory, image, 0, static_cast<UINT>(height), locked.Scan0, &info, DIB_RGB_COLORS);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  const Status unlocked = DllExports::GdipBitmapUnlockBits(bitmap->native, &locked);
  if (unlocked != Ok) bitmap->status = unlocked;
  // Lines GDI did not deliver hold nothing of the icon: no image rather than a PNG of them.
  if (lines != height && bitmap->status == Ok) bitmap->status = Win32Error;
  return bitmap;
}

std::vector<unsigned char> GdiplusBitmapToPng(GdiplusBitmap& bitmap) {
  IStream* stream = nullptr;
  if (CreateStreamOnHGlobal(nullptr, TRUE, &stream) != S_OK) return {};
  struct StreamRelease {
    IStream* stream;
    ~StreamRelease() { stream->Release(); }  // frees the memory block
  } release{stream};

  CLSID png_encoder;
  if (GetEncoderClsid(L"image/png", &png_encoder) == -1) return {};
  if (DllExports::GdipSaveImageToStream(bitmap.native, stream, &png_encoder, nullptr) != Ok) return {};

  HGLOBAL block = nullptr;
  GetHGlobalFromStream(stream, &block);
  if (block == nullptr) return {};
  const void* data = GlobalLock(block);
  if (data == nullptr) return {};
  struct BlockUnlock {
    HGLOBAL block;
    ~BlockUnlock() { GlobalUnlock(block); }
  } unlock{block};

  // The block may be larger than the stream's content (it grows ahead of the data): the stream's size is where
  // the PNG file ends.
  STATSTG stat;
  std::memset(&stat, 0, sizeof(stat));
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return {};
  const SIZE_T size = static_cast<SIZE_T>(std::min<ULONGLONG>(GlobalSize(block), stat.cbSize.QuadPart));
  const auto* bytes = static_cast<const unsigned char*>(data);
  return std::vector<unsigned char>(bytes, bytes + size);
}

INT GetEncoderClsid(const WCHAR* format, CLSID* clsid) {
  UINT count = 0;
  UINT size = 0;
  DllExports::GdipGetImageEncodersSize(&count, &size);
  if (size == 0) return -1;
  auto* encoders = static_cast<ImageCodecInfo*>(std::malloc(size));
  if (encoders == nullptr) return -1;
  INT found = -1;
  if (DllExports::GdipGetImageEncoders(count, size, encoders) == Ok) {
    for (UINT i = 0; i < count; ++i) {
      if (_wcsicmp(encoders[i].MimeType, format) == 0) {
        *clsid = encoders[i].Clsid;
        found = static_cast<INT>(i);
        break;
      }
    }
  }
  std::free(encoders);
  return found;
}

std::optional<std::vector<unsigned char>> ExtractIconPng(const std::wstring& file_name, std::uint32_t width,
                                                         std::uint32_t height) {
  HICON icon = ExtractExecutableIcon(file_name, width, height);
  if (icon == nullptr) return std::nullopt;
  Conversion conversion([icon] { DestroyIcon(icon); });
  return EncodeIcon(conversion, [icon]() -> std::unique_ptr<GdiplusBitmap> {
    std::unique_ptr<GdiplusBitmap> bitmap(new (std::nothrow) GdiplusBitmap);
    if (!bitmap) return nullptr;
    bitmap->status = DllExports::GdipCreateBitmapFromHICON(icon, &bitmap->native);
    return bitmap;
  });
}

HICON ExtractExecutableIcon(const std::wstring& file_name, std::uint32_t /*width*/, std::uint32_t /*height*/) {
  if (NamesNothing(file_name)) return nullptr;
  HICON icon = nullptr;
  const UINT extracted = PrivateExtractIconsW(file_name.c_str(), 0, 48, 48, &icon, nullptr, 1, LR_LOADFROMFILE);
  // 0xFFFFFFFF (the file cannot be read) and 0 both mean no icon.
  if (extracted == 0 || extracted == 0xFFFFFFFFu || icon == nullptr) return nullptr;
  return icon;
}
