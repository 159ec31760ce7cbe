// The GDI+ flat API, the subset that turns pixels into PNG files (gdiplus_flat.cpp, png_encoder.cpp). Names sit
// where the Windows headers put them: the types and GdiplusStartup/GdiplusShutdown in namespace Gdiplus, the
// flat functions in Gdiplus::DllExports.
//
// Bitmaps are 32bppARGB only (the bytes B, G, R, A in memory, straight alpha). Bitmap calls need a running
// start-up (GdiplusNotInitialized otherwise). The encoder list is the usual built-in one (BMP, JPEG, GIF, TIFF,
// PNG) with the system's CLSIDs; only the PNG encoder is implemented (on libpng, every ARGB value kept exactly),
// saving with another gives NotImplemented.
#pragma once

#include "platform/linux/shell/win32_hglobal.h"

// Xlib defines Status as a macro; keep it out of GDI+'s own Status for whatever order a file includes both in.
#pragma push_macro("Status")
#undef Status

namespace Gdiplus {

enum Status {
  Ok = 0,
  GenericError = 1,
  InvalidParameter = 2,
  OutOfMemory = 3,
  ObjectBusy = 4,
  InsufficientBuffer = 5,
  NotImplemented = 6,
  Win32Error = 7,
  WrongState = 8,
  Aborted = 9,
  FileNotFound = 10,
  ValueOverflow = 11,
  AccessDenied = 12,
  UnknownImageFormat = 13,
  FontFamilyNotFound = 14,
  FontStyleNotFound = 15,
  NotTrueTypeFont = 16,
  UnsupportedGdiplusVersion = 17,
  GdiplusNotInitialized = 18,
  PropertyNotFound = 19,
  PropertyNotSupported = 20,
  ProfileNotFound = 21,
};
using GpStatus = Status;

using PixelFormat = INT;
using ARGB = DWORD;
#define PixelFormatGDI (static_cast<INT>(0x00020000))
#define PixelFormatAlpha (static_cast<INT>(0x00040000))
#define PixelFormatPAlpha (static_cast<INT>(0x00080000))
#define PixelFormatCanonical (static_cast<INT>(0x00200000))
#define PixelFormat32bppRGB (static_cast<INT>(9 | (32 << 8) | PixelFormatGDI))
#define PixelFormat32bppARGB (static_cast<INT>(10 | (32 << 8) | PixelFormatAlpha | PixelFormatGDI | PixelFormatCanonical))
#define PixelFormat32bppPARGB (static_cast<INT>(11 | (32 << 8) | PixelFormatAlpha | PixelFormatPAlpha | PixelFormatGDI))
static_assert(PixelFormat32bppARGB == 0x26200A);

enum ImageLockMode {
  ImageLockModeRead = 1,
  ImageLockModeWrite = 2,
  ImageLockModeUserInputBuf = 4,
};

enum ImageCodecFlags {
  ImageCodecFlagsEncoder = 0x00000001,
  ImageCodecFlagsDecoder = 0x00000002,
  ImageCodecFlagsSupportBitmap = 0x00000004,
  ImageCodecFlagsSupportVector = 0x00000008,
  ImageCodecFlagsSeekableEncode = 0x00000010,
  ImageCodecFlagsBlockingDecode = 0x00000020,
  ImageCodecFlagsBuiltin = 0x00010000,
  ImageCodecFlagsSystem = 0x00020000,
  ImageCodecFlagsUser = 0x00040000,
};

struct Rect {
  INT X = 0;
  INT Y = 0;
  INT Width = 0;
  INT Height = 0;
  Rect() = default;
  Rect(INT x, INT y, INT width, INT height) : X(x), Y(y), Width(width), Height(height) {}
};
using GpRect = Rect;

struct BitmapData {
  UINT Width;
  UINT Height;
  INT Stride;
  INT PixelFormat;  // a PixelFormat
  void* Scan0;
  UINT_PTR Reserved;
};

struct ImageCodecInfo {
  CLSID Clsid;
  GUID FormatID;
  const WCHAR* CodecName;
  const WCHAR* DllName;
  const WCHAR* FormatDescription;
  const WCHAR* FilenameExtension;
  const WCHAR* MimeType;
  DWORD Flags;
  DWORD Version;
  DWORD SigCount;
  DWORD SigSize;
  const BYTE* SigPattern;
  const BYTE* SigMask;
};

struct EncoderParameter {
  GUID Guid;
  ULONG NumberOfValues;
  ULONG Type;
  void* Value;
};
struct EncoderParameters {
  UINT Count;
  EncoderParameter Parameter[1];
};

enum DebugEventLevel { DebugEventLevelFatal, DebugEventLevelWarning };
using DebugEventProc = void (*)(DebugEventLevel level, CHAR* message);
using NotificationHookProc = Status (*)(ULONG_PTR* token);
using NotificationUnhookProc = void (*)(ULONG_PTR token);

struct GdiplusStartupInput {
  UINT GdiplusVersion;
  DebugEventProc DebugEventCallback;
  BOOL SuppressBackgroundThread;
  BOOL SuppressExternalCodecs;

  GdiplusStartupInput(DebugEventProc debugEventCallback = nullptr, BOOL suppressBackgroundThread = FALSE,
                      BOOL suppressExternalCodecs = FALSE)
      : GdiplusVersion(1),
        DebugEventCallback(debugEventCallback),
        SuppressBackgroundThread(suppressBackgroundThread),
        SuppressExternalCodecs(suppressExternalCodecs) {}
};

struct GdiplusStartupOutput {
  NotificationHookProc NotificationHook = nullptr;
  NotificationUnhookProc NotificationUnhook = nullptr;
};

// Opaque handles, as the Windows headers declare them for C++.
class GpImage {
 protected:
  GpImage() = default;
  ~GpImage() = default;
};
class GpBitmap : public GpImage {
 protected:
  GpBitmap() = default;
  ~GpBitmap() = default;
};

// Version 1 only. Each successful start-up must be paired with a shut-down of its token.
Status GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, GdiplusStartupOutput* output);
void GdiplusShutdown(ULONG_PTR token);

namespace DllExports {

// With a null scan0 the bitmap owns zeroed pixel memory (stride ignored); otherwise it uses the caller's, which
// must outlive it.
Status GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format, BYTE* scan0,
                                 GpBitmap** bitmap);
Status GdipCreateBitmapFromHICON(HICON hicon, GpBitmap** bitmap);
// The locked data is the bitmap's own memory; ImageLockModeUserInputBuf is not supported.
Status GdipBitmapLockBits(GpBitmap* bitmap, const GpRect* rect, UINT flags, PixelFormat format,
                          BitmapData* lockedBitmapData);
Status GdipBitmapUnlockBits(GpBitmap* bitmap, BitmapData* lockedBitmapData);
Status GdipDisposeImage(GpImage* image);
Status GdipGetImageEncodersSize(UINT* numEncoders, UINT* size);
Status GdipGetImageEncoders(UINT numEncoders, UINT size, ImageCodecInfo* encoders);
// Writes the encoded file at the stream's position.
Status GdipSaveImageToStream(GpImage* image, IStream* stream, const CLSID* clsidEncoder,
                             const EncoderParameters* encoderParams);

}  // namespace DllExports
}  // namespace Gdiplus

#pragma pop_macro("Status")
