// The platform calls under the shell icon conversion, where they answer as Windows does and the conversion alone
// would not show it: apartments, GetDIBits orientation and line counts, HGLOBAL streams, the encoder list, the
// PNG encoder's exactness, shell item flags and PrivateExtractIconsW.
#include <thread>

#include "icon_png_support.h"
#ifndef _WIN32
#include "platform/linux/shell/gdi_objects.h"
#include "platform/linux/base/wide.h"
#endif
#include "utils/shell_icon_png.h"

namespace quorvel::icon_test {
namespace {

using platform::Utf8ToWide;

TEST(IconPlatform, ApartmentsFollowWindowsRules) {
  std::thread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE) << "one call still holds it";
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "the apartment ends with its last call";
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
  }).join();
}

// A 3 x 2 bitmap whose pixel (x, y) is 0xFF0000yx, copied by GetDIBits in both orientations.
TEST(IconPlatform, GetDIBitsCopiesLinesInTheDestinationsOrderAndCountsThem) {
  platform::icons::IconImage image{3, 2, {0xFF000000, 0xFF000001, 0xFF000002, 0xFF000010, 0xFF000011, 0xFF000012}};
  HBITMAP bitmap = platform::detail::CreateDibSectionFromImage(std::move(image));
  ASSERT_NE(bitmap, nullptr);
  HDC dc = CreateCompatibleDC(nullptr);
  const struct {
    LONG height;
    UINT start, lines;
    int copied;
    std::vector<std::uint32_t> rows;
  } cases[] = {
      {-2, 0, 2, 2, {0xFF000000, 0xFF000001, 0xFF000002, 0xFF000010, 0xFF000011, 0xFF000012}},
      {2, 0, 2, 2, {0xFF000010, 0xFF000011, 0xFF000012, 0xFF000000, 0xFF000001, 0xFF000002}},  // bottom row first
      {-2, 1, 5, 1, {0xFF000010, 0xFF000011, 0xFF000012}},                                      // clipped
      {2, 1, 1, 1, {0xFF000000, 0xFF000001, 0xFF000002}},
      {-2, 2, 1, 0, {}},
  };
  for (const auto& c : cases) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 3, c.height, 1, 32, BI_RGB};
    std::vector<std::uint32_t> out(6, 0xDEADBEEF);
    EXPECT_EQ(GetDIBits(dc, bitmap, c.start, c.lines, out.data(), &info, DIB_RGB_COLORS), c.copied);
    out.resize(c.rows.size());
    EXPECT_EQ(out, c.rows) << "height " << c.height << " start " << c.start;
  }
  BITMAPINFO wrong{};
  wrong.bmiHeader = {sizeof(BITMAPINFOHEADER), 4, -2, 1, 32, BI_RGB};
  std::vector<std::uint32_t> out(8);
  EXPECT_EQ(GetDIBits(dc, bitmap, 0, 2, out.data(), &wrong, DIB_RGB_COLORS), 0);

  BITMAP description{};
  EXPECT_EQ(GetObjectA(bitmap, sizeof(BITMAP), &description), static_cast<int>(sizeof(BITMAP)));
  EXPECT_EQ(description.bmWidth, 3);
  EXPECT_EQ(description.bmHeight, 2);
  EXPECT_EQ(description.bmBitsPixel, 32);
  EXPECT_EQ(GetObjectA(bitmap, sizeof(BITMAP) - 1, &description), 0);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(GetObjectA(bitmap, sizeof(BITMAP), &description), 0) << "a deleted handle still answers";
}

TEST(IconPlatform, HGlobalStreamBlockIsLargerThanItsContentAndGoesWithTheStream) {
#ifndef _WIN32
  const std::size_t blocks_before = platform::seam::LiveGlobalBlocks();
#endif
  IStream* stream = nullptr;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  const char text[] = "ten bytes!";
  ULONG written = 0;
  ASSERT_EQ(stream->Write(text, 10, &written), S_OK);
  EXPECT_EQ(written, 10u);
  HGLOBAL block = nullptr;
  ASSERT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
  STATSTG stat{};
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 10u);
  EXPECT_GT(GlobalSize(block), 10u);
  void* data = GlobalLock(block);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, text, 10), 0);
  // A locked block is not moved under its pointer: growing it fails instead.
  std::vector<char> big(GlobalSize(block) + 1);
  EXPECT_EQ(stream->Write(big.data(), static_cast<ULONG>(big.size()), &written), STG_E_MEDIUMFULL);
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(stream->Write(big.data(), static_cast<ULONG>(big.size()), &written), S_OK);
  stream->Release();
#ifndef _WIN32
  EXPECT_EQ(platform::seam::LiveGlobalBlocks(), blocks_before) << "delete-on-release kept the block";
#endif
  EXPECT_EQ(GlobalSize(block), 0u);
}

TEST(IconPlatform, EncoderListHoldsTheUsualEncodersWithTheSystemsClsids) {
  UINT count = 0, size = 0;
  ASSERT_EQ(Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size), Gdiplus::Ok);
  std::vector<unsigned char> block(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(block.data());
  ASSERT_EQ(Gdiplus::DllExports::GdipGetImageEncoders(count, size, codecs), Gdiplus::Ok);
  std::vector<std::wstring> mimes;
  for (UINT i = 0; i < count; ++i) mimes.emplace_back(codecs[i].MimeType);
  EXPECT_EQ(mimes, (std::vector<std::wstring>{L"image/bmp", L"image/jpeg", L"image/gif", L"image/tiff", L"image/png"}));

  CLSID clsid{};
  EXPECT_EQ(GetEncoderClsid(L"IMAGE/PNG", &clsid), 4);
  const CLSID png{0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
  EXPECT_TRUE(clsid == png);
  EXPECT_EQ(GetEncoderClsid(L"image/x-icon", &clsid), -1);
  EXPECT_TRUE(clsid == png) << "a failed search wrote the CLSID";
}

// Every alpha value, with colour under alpha 0 too: the PNG holds the ARGB words exactly.
TEST(IconPlatform, PngEncoderKeepsEveryArgbValue) {
  std::vector<std::uint32_t> pixels(256 * 3);
  for (std::uint32_t i = 0; i < pixels.size(); ++i) pixels[i] = (i & 0xFF) << 24 | (i * 0x9E3779B9u >> 8);
  Gdiplus::GpBitmap* bitmap = nullptr;
  EXPECT_EQ(Gdiplus::DllExports::GdipCreateBitmapFromScan0(256, 3, 1024, PixelFormat32bppARGB,
                                                           reinterpret_cast<BYTE*>(pixels.data()), &bitmap),
            Gdiplus::GdiplusNotInitialized);
  ULONG_PTR token = 0;
  const Gdiplus::GdiplusStartupInput input;
  ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
  {
    GdiplusBitmap wrapped;
    ASSERT_EQ(Gdiplus::DllExports::GdipCreateBitmapFromScan0(256, 3, 1024, PixelFormat32bppARGB,
                                                             reinterpret_cast<BYTE*>(pixels.data()), &wrapped.native),
              Gdiplus::Ok);
    const std::vector<unsigned char> png = GdiplusBitmapToPng(wrapped);
    const IconImage decoded = DecodePng(png);
    EXPECT_EQ(decoded.width, 256u);
    EXPECT_EQ(decoded.pixels, pixels);
  }
  Gdiplus::GdiplusShutdown(token);
}

TEST(IconPlatform, ShellItemNeedsComAndAnExistingPathAndHonoursTheSizeFlags) {
  const std::wstring ico = Utf8ToWide(Fixture("multi.ico"));
  IShellItemImageFactory* factory = nullptr;
  EXPECT_EQ(SHCreateItemFromParsingName(ico.c_str(), nullptr, __uuidof(IShellItemImageFactory),
                                        reinterpret_cast<void**>(&factory)),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(SHCreateItemFromParsingName(Utf8ToWide(Fixture("none.ico")).c_str(), nullptr, __uuidof(IShellItem),
                                        reinterpret_cast<void**>(&factory)),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(SHCreateItemFromParsingName(ico.c_str(), nullptr, __uuidof(IShellItemImageFactory),
                                        reinterpret_cast<void**>(&factory)),
            S_OK);
  // 50 x 50 picks the 64 x 64 entry: kept with SIIGBF_BIGGERSIZEOK, shrunk to fit without it.
  const struct {
    SIIGBF flags;
    HRESULT result;
    LONG side;
  } cases[] = {{SIIGBF_BIGGERSIZEOK | SIIGBF_ICONONLY, S_OK, 64},
               {SIIGBF_RESIZETOFIT, S_OK, 50},
               {SIIGBF_THUMBNAILONLY, E_FAIL, 0},
               {SIIGBF_ICONONLY | SIIGBF_THUMBNAILONLY, E_INVALIDARG, 0}};
  for (const auto& c : cases) {
    HBITMAP image = nullptr;
    EXPECT_EQ(factory->GetImage(SIZE{50, 50}, c.flags, &image), c.result) << c.flags;
    BITMAP description{};
    if (image != nullptr) GetObjectA(image, sizeof(description), &description);
    EXPECT_EQ(description.bmWidth, c.side) << c.flags;
    EXPECT_EQ(description.bmHeight, c.side) << c.flags;
    if (image != nullptr) DeleteObject(image);
  }
  factory->Release();
  CoUninitialize();
}

TEST(IconPlatform, PrivateExtractIconsCountsAndExtractsGroups) {
  const std::wstring exe = Utf8ToWide(Fixture("icons.exe"));
  EXPECT_EQ(PrivateExtractIconsW(exe.c_str(), 0, 16, 16, nullptr, nullptr, 0, 0), 2u);
  HICON icons[3] = {};
  EXPECT_EQ(PrivateExtractIconsW(exe.c_str(), 0, 16, 16, icons, nullptr, 3, LR_LOADFROMFILE), 2u);
  EXPECT_EQ(icons[2], nullptr);
  EXPECT_EQ(PrivateExtractIconsW(exe.c_str(), 2, 16, 16, icons + 2, nullptr, 1, 0), 0u);
  for (HICON icon : {icons[0], icons[1]}) {
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(DestroyIcon(icon));
    EXPECT_FALSE(DestroyIcon(icon));
  }
  EXPECT_EQ(PrivateExtractIconsW(Utf8ToWide(Fixture("none.exe")).c_str(), 0, 16, 16, icons, nullptr, 1, 0),
            0xFFFFFFFFu);
}

}  // namespace
}  // namespace quorvel::icon_test
