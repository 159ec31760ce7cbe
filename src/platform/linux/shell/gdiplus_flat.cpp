// GDI+ bitmaps, the encoder list and saving to a stream. Bitmap pointers are checked against the set of live
// bitmaps, so a stale or foreign pointer gives InvalidParameter instead of touching freed memory.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/linux/shell/gdi_objects.h"
#include "platform/linux/shell/gdiplus_state.h"
#include "platform/linux/shell/png_encoder.h"
#include "platform/linux/seam/seam_results.h"
#include "platform/win32.h"

using namespace Gdiplus;

namespace quorvel::platform::detail {
namespace {

// Pixel memory a bitmap may own; larger ones fail with OutOfMemory before anything is allocated.
constexpr std::uint64_t kMaxBitmapBytes = 1ull << 30;

class BitmapObject final : public GpBitmap {
 public:
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::ptrdiff_t stride = 0;
  std::vector<std::uint32_t> own;  // empty when the caller's memory is used
  BYTE* scan0 = nullptr;
  bool locked = false;
};

struct GdiplusState {
  std::mutex mutex;
  std::unordered_set<ULONG_PTR> tokens;
  ULONG_PTR next_token = 0;
  std::unordered_set<BitmapObject*> bitmaps;
};

GdiplusState& state() {
  static GdiplusState* s = new GdiplusState;
  return *s;
}

bool Started() {
  std::lock_guard lock(state().mutex);
  return !state().tokens.empty();
}

// The live bitmap behind `image`, or null. With the state's mutex held by the caller.
BitmapObject* FindBitmap(GpImage* image) {
  auto* bitmap = static_cast<BitmapObject*>(static_cast<GpBitmap*>(image));
  return state().bitmaps.count(bitmap) ? bitmap : nullptr;
}

Status NewBitmap(std::uint32_t width, std::uint32_t height, std::unique_ptr<BitmapObject>& out) {
  if (width == 0 || height == 0 || width > 0x7FFFFFFFu / 4 || height > 0x7FFFFFFFu) return InvalidParameter;
  if (std::uint64_t{width} * height * 4 > kMaxBitmapBytes) return OutOfMemory;
  try {
    auto bitmap = std::make_unique<BitmapObject>();
    bitmap->width = width;
    bitmap->height = height;
    bitmap->stride = static_cast<std::ptrdiff_t>(width) * 4;
    bitmap->own.assign(static_cast<std::size_t>(width) * height, 0);
    bitmap->scan0 = reinterpret_cast<BYTE*>(bitmap->own.data());
    out = std::move(bitmap);
    return Ok;
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
}

GpBitmap* Publish(std::unique_ptr<BitmapObject> bitmap) {
  std::lock_guard lock(state().mutex);
  state().bitmaps.insert(bitmap.get());
  return bitmap.release();
}

// The built-in encoders, in the order the system lists them.
struct Codec {
  CLSID clsid;
  GUID format;
  std::wstring_view name, description, extensions, mime;
  std::vector<std::vector<BYTE>> signatures;
};

const std::vector<Codec>& Encoders() {
  static const std::vector<Codec>* codecs = new std::vector<Codec>{
      {{0x557cf400, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       {0xb96b3cab, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       L"Built-in BMP Codec", L"BMP", L"*.BMP;*.DIB;*.RLE", L"image/bmp", {{'B', 'M'}}},
      {{0x557cf401, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       {0xb96b3cae, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       L"Built-in JPEG Codec", L"JPEG", L"*.JPG;*.JPEG;*.JPE;*.JFIF", L"image/jpeg", {{0xFF, 0xD8}}},
      {{0x557cf402, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       {0xb96b3cb0, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       L"Built-in GIF Codec", L"GIF", L"*.GIF", L"image/gif",
       {{'G', 'I', 'F', '8', '9', 'a'}, {'G', 'I', 'F', '8', '7', 'a'}}},
      {{0x557cf405, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       {0xb96b3cb1, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       L"Built-in TIFF Codec", L"TIFF", L"*.TIF;*.TIFF", L"image/tiff", {{'I', 'I', 0x2A, 0}, {'M', 'M', 0, 0x2A}}},
      {{0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       {0xb96b3caf, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
       L"Built-in PNG Codec", L"PNG", L"*.PNG", L"image/png", {{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}}},
  };
  return *codecs;
}

constexpr std::size_t kPngEncoder = 4;

std::size_t WideBytes(std::wstring_view text) { return (text.size() + 1) * sizeof(WCHAR); }

std::size_t EncoderListSize() {
  std::size_t size = Encoders().size() * sizeof(ImageCodecInfo);
  for (const Codec& codec : Encoders()) {
    size += WideBytes(codec.name) + WideBytes(codec.description) + WideBytes(codec.extensions) + WideBytes(codec.mime);
    for (const auto& signature : codec.signatures) size += 2 * signature.size();  // pattern and mask
  }
  return size;
}

}  // namespace

long ActiveGdiplusStartups() {
  std::lock_guard lock(state().mutex);
  return static_cast<long>(state().tokens.size());
}

long LiveGdiplusBitmaps() {
  std::lock_guard lock(state().mutex);
  return static_cast<long>(state().bitmaps.size());
}

}  // namespace quorvel::platform::detail

namespace Gdiplus {

using namespace quorvel::platform::detail;

Status GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, GdiplusStartupOutput* output) {
  QUORVEL_SEAM_FAIL_STATUS("GdiplusStartup");
  if (token == nullptr || input == nullptr) return InvalidParameter;
  if (input->GdiplusVersion != 1) return UnsupportedGdiplusVersion;
  // Without the background thread the caller must take the notification hooks.
  if (input->SuppressBackgroundThread && output == nullptr) return InvalidParameter;
  if (output != nullptr) *output = GdiplusStartupOutput{};  // no background work exists to hook
  std::lock_guard lock(state().mutex);
  try {
    ULONG_PTR value = ++state().next_token;
    state().tokens.insert(value);
    *token = value;
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  return Ok;
}

void GdiplusShutdown(ULONG_PTR token) {
  std::lock_guard lock(state().mutex);
  state().tokens.erase(token);
}

namespace DllExports {

Status GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format, BYTE* scan0,
                                 GpBitmap** bitmap) {
  QUORVEL_SEAM_FAIL_STATUS("GdipCreateBitmapFromScan0");
  if (bitmap == nullptr || width <= 0 || height <= 0) return InvalidParameter;
  if (!Started()) return GdiplusNotInitialized;
  if (format != PixelFormat32bppARGB) return NotImplemented;
  std::unique_ptr<BitmapObject> made;
  if (scan0 == nullptr) {
    if (Status status = NewBitmap(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), made);
        status != Ok)
      return status;
  } else {
    if (stride % 4 != 0 || (stride < 0 ? -static_cast<LONGLONG>(stride) : stride) < LONGLONG{width} * 4)
      return InvalidParameter;
    made.reset(new (std::nothrow) BitmapObject);
    if (!made) return OutOfMemory;
    made->width = static_cast<std::uint32_t>(width);
    made->height = static_cast<std::uint32_t>(height);
    made->stride = stride;
    made->scan0 = scan0;
  }
  *bitmap = Publish(std::move(made));
  return Ok;
}

Status GdipCreateBitmapFromHICON(HICON hicon, GpBitmap** bitmap) {
  QUORVEL_SEAM_FAIL_STATUS("GdipCreateBitmapFromHICON");
  if (bitmap == nullptr || hicon == nullptr) return InvalidParameter;
  if (!Started()) return GdiplusNotInitialized;
  quorvel::platform::icons::IconImage image;
  if (!CopyIconImage(hicon, image)) return InvalidParameter;
  std::unique_ptr<BitmapObject> made;
  if (Status status = NewBitmap(image.width, image.height, made); status != Ok) return status;
  made->own = std::move(image.pixels);
  made->scan0 = reinterpret_cast<BYTE*>(made->own.data());
  *bitmap = Publish(std::move(made));
  return Ok;
}

Status GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, UINT flags, PixelFormat format,
                          BitmapData* lockedBitmapData) {
  QUORVEL_SEAM_FAIL_STATUS("GdipBitmapLockBits");
  if (bitmap == nullptr || lockedBitmapData == nullptr) return InvalidParameter;
  if (!Started()) return GdiplusNotInitialized;
  if ((flags & (ImageLockModeRead | ImageLockModeWrite)) == 0) return InvalidParameter;
  if ((flags & ImageLockModeUserInputBuf) != 0 || format != PixelFormat32bppARGB) return NotImplemented;
  std::lock_guard lock(state().mutex);
  BitmapObject* object = FindBitmap(bitmap);
  if (object == nullptr) return InvalidParameter;
  const Rect whole(0, 0, static_cast<INT>(object->width), static_cast<INT>(object->height));
  const Rect area = rect ? *rect : whole;
  if (area.X < 0 || area.Y < 0 || area.Width <= 0 || area.Height <= 0 ||
      LONGLONG{area.X} + area.Width > whole.Width || LONGLONG{area.Y} + area.Height > whole.Height)
    return InvalidParameter;
  if (object->locked) return WrongState;
  object->locked = true;
  lockedBitmapData->Width = static_cast<UINT>(area.Width);
  lockedBitmapData->Height = static_cast<UINT>(area.Height);
  lockedBitmapData->Stride = static_cast<INT>(object->stride);
  lockedBitmapData->PixelFormat = PixelFormat32bppARGB;
  lockedBitmapData->Scan0 = object->scan0 + area.Y * object->stride + std::ptrdiff_t{area.X} * 4;
  lockedBitmapData->Reserved = 0;
  return Ok;
}

Status GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* lockedBitmapData) {
  QUORVEL_SEAM_FAIL_STATUS("GdipBitmapUnlockBits");
  if (bitmap == nullptr || lockedBitmapData == nullptr) return InvalidParameter;
  if (!Started()) return GdiplusNotInitialized;
  std::lock_guard lock(state().mutex);
  BitmapObject* object = FindBitmap(bitmap);
  if (object == nullptr) return InvalidParameter;
  if (!object->locked) return WrongState;
  object->locked = false;
  return Ok;
}

Status GdipDisposeImage(GpImage* image) {
  QUORVEL_SEAM_FAIL_STATUS("GdipDisposeImage");
  if (image == nullptr) return InvalidParameter;
  std::unique_ptr<BitmapObject> doomed;
  {
    std::lock_guard lock(state().mutex);
    if (state().tokens.empty()) return GdiplusNotInitialized;
    BitmapObject* object = FindBitmap(image);
    if (object == nullptr) return InvalidParameter;
    state().bitmaps.erase(object);
    doomed.reset(object);
  }
  return Ok;
}

Status GdipGetImageEncodersSize(UINT* numEncoders, UINT* size) {
  QUORVEL_SEAM_FAIL_STATUS("GdipGetImageEncodersSize");
  if (numEncoders == nullptr || size == nullptr) return InvalidParameter;
  *numEncoders = static_cast<UINT>(Encoders().size());
  *size = static_cast<UINT>(EncoderListSize());
  return Ok;
}

Status GdipGetImageEncoders(UINT numEncoders, UINT size, ImageCodecInfo* encoders) {
  QUORVEL_SEAM_FAIL_STATUS("GdipGetImageEncoders");
  if (encoders == nullptr || numEncoders != Encoders().size() || size < EncoderListSize()) return InvalidParameter;
  // Records first, then their strings and signature bytes, all in the caller's block.
  auto* tail = reinterpret_cast<BYTE*>(encoders + numEncoders);
  auto put_text = [&tail](std::wstring_view text) {
    auto* start = reinterpret_cast<WCHAR*>(tail);
    std::memcpy(start, text.data(), text.size() * sizeof(WCHAR));
    start[text.size()] = L'\0';
    tail += WideBytes(text);
    return static_cast<const WCHAR*>(start);
  };
  for (std::size_t i = 0; i < Encoders().size(); ++i) {
    const Codec& codec = Encoders()[i];
    ImageCodecInfo& info = encoders[i];
    info = ImageCodecInfo{};
    info.Clsid = codec.clsid;
    info.FormatID = codec.format;
    info.CodecName = put_text(codec.name);
    info.DllName = nullptr;  // built in
    info.FormatDescription = put_text(codec.description);
    info.FilenameExtension = put_text(codec.extensions);
    info.MimeType = put_text(codec.mime);
    info.Flags = ImageCodecFlagsEncoder | ImageCodecFlagsDecoder | ImageCodecFlagsSupportBitmap |
                 ImageCodecFlagsBuiltin;
    info.Version = 1;
  }
  // Signature bytes last: they need no alignment.
  for (std::size_t i = 0; i < Encoders().size(); ++i) {
    const Codec& codec = Encoders()[i];
    ImageCodecInfo& info = encoders[i];
    info.SigCount = static_cast<DWORD>(codec.signatures.size());
    info.SigSize = static_cast<DWORD>(codec.signatures.front().size());
    info.SigPattern = tail;
    for (const auto& signature : codec.signatures) {
      std::memcpy(tail, signature.data(), signature.size());
      tail += signature.size();
    }
    info.SigMask = tail;
    for (const auto& signature : codec.signatures) {
      std::memset(tail, 0xFF, signature.size());
      tail += signature.size();
    }
  }
  return Ok;
}

Status GdipSaveImageToStream(GpImage* image, IStream* stream, const CLSID* clsidEncoder,
                             const EncoderParameters* /*encoderParams: the PNG encoder takes none*/) {
  QUORVEL_SEAM_FAIL_STATUS("GdipSaveImageToStream");
  if (image == nullptr || stream == nullptr || clsidEncoder == nullptr) return InvalidParameter;
  if (!Started()) return GdiplusNotInitialized;
  bool known = false;
  for (const Codec& codec : Encoders()) known = known || codec.clsid == *clsidEncoder;
  if (!known) return FileNotFound;  // no such encoder installed
  if (!(Encoders()[kPngEncoder].clsid == *clsidEncoder)) return NotImplemented;
  BitmapObject* object;
  {
    std::lock_guard lock(state().mutex);
    object = FindBitmap(image);
    if (object == nullptr) return InvalidParameter;
    if (object->locked) return WrongState;
  }
  // Encoding and disposing the same bitmap at once is the caller's race, as on Windows.
  return EncodePng(object->scan0, object->width, object->height, object->stride, stream) ? Ok : Win32Error;
}

}  // namespace DllExports
}  // namespace Gdiplus
