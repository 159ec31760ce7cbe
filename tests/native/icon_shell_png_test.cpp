// ExtractPngFromExecutableIcon and ExtractIconPng through the real platform: every failure row of the conversion,
// armed through the seam, with nothing left behind on any path; apartments; many calls and threads.
#include <thread>

#include "icon_png_support.h"
#ifndef _WIN32
#include "platform/linux/seam/seam_shell_image.h"
#include "platform/linux/base/wide.h"
#endif
#include "utils/shell_icon_png.h"

namespace quorvel::icon_test {
namespace {

using platform::Utf8ToWide;
using Png = std::optional<std::vector<unsigned char>>;

const std::wstring kExe = Utf8ToWide(Fixture("icons.exe"));

#ifdef _WIN32
using IconPngTest = ::testing::Test;  // the seam's counters are the Linux layer's
#else
namespace seam = platform::seam;

class IconPngTest : public ::testing::Test {
 protected:
  void SetUp() override { seam::Reset(); }
  void TearDown() override {
    seam::Reset();
    EXPECT_EQ(LiveObjects{}, baseline_) << "objects left behind";
  }
  LiveObjects baseline_;
};
#endif

TEST_F(IconPngTest, ExeIconIsTheFirstGroupAtTheRequestedSize) {
  // Sizes between entries get the next larger one; past the largest, the largest.
  const struct {
    std::uint32_t asked;
    int entry;
  } cases[] = {{17, 5}, {41, 3}, {1000, 6}};
  for (const auto& c : cases) {
    const Png png = ExtractPngFromExecutableIcon(kExe, c.asked, c.asked);
    ASSERT_TRUE(png && !png->empty()) << c.asked;
    EXPECT_TRUE(SameImage(DecodePng(*png), Expected("multi.ico", c.entry))) << "asked " << c.asked;
  }
}

TEST_F(IconPngTest, PngBytesEndWithTheFileWhateverTheBlockSize) {
  const Png png = ExtractPngFromExecutableIcon(kExe, 16, 16);
  ASSERT_TRUE(png);
  const unsigned char iend[] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  ASSERT_GT(png->size(), sizeof(iend));
  EXPECT_EQ(std::memcmp(png->data() + png->size() - sizeof(iend), iend, sizeof(iend)), 0);
  EXPECT_NE(png->size() % 4096, 0u) << "the memory block's page-rounded size leaked into the result";
}

TEST_F(IconPngTest, SecondRoadGivesTheFirstIconAt48WhateverTheSize) {
  for (std::uint32_t asked : {16u, 256u}) {
    const Png png = ExtractIconPng(kExe, asked, asked);
    ASSERT_TRUE(png && !png->empty());
    EXPECT_TRUE(SameImage(DecodePng(*png), Expected("multi.ico", 3)));
  }
  EXPECT_FALSE(ExtractIconPng(L"", 48, 48));
  EXPECT_FALSE(ExtractIconPng(Utf8ToWide(Fixture("missing.exe")), 48, 48));
}

TEST_F(IconPngTest, RefusedRequestsTouchNothing) {
  const std::wstring missing = Utf8ToWide(Fixture("no-such-file.exe"));
  const struct {
    const std::wstring* name;
    std::uint32_t width, height;
  } cases[] = {{&kExe, 0, 16}, {&kExe, 16, 0}, {&kExe, kMaxShellIconSide + 1, 16}, {&kExe, 16, 0xFFFFFFFFu},
               {&missing, 16, 16}};
  const std::wstring empty;
  EXPECT_FALSE(ExtractPngFromExecutableIcon(empty, 16, 16));
  for (const auto& c : cases) EXPECT_FALSE(ExtractPngFromExecutableIcon(*c.name, c.width, c.height));
#ifndef _WIN32
  // Refused before COM: a failure armed for CoInitialize is still armed.
  seam::FailNextHresult("CoInitialize", E_FAIL);
  EXPECT_FALSE(ExtractPngFromExecutableIcon(kExe, 0, 16));
  EXPECT_EQ(CoInitialize(nullptr), E_FAIL);
#endif
}

#ifndef _WIN32  // failures armed through the seam

// Each failure of the conversion, and the outcome the caller sees: no image (nullopt) or a failed encoding
// (an empty vector).
struct FailureRow {
  const char* function;
  DWORD code;
  bool image_made;  // true: empty vector; false: nullopt
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.function; }

class IconPngFailureTest : public IconPngTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(IconPngFailureTest, FailsWithItsOutcomeAndReleasesEverything) {
  const FailureRow& row = GetParam();
  seam::FailNext(row.function, row.code);
  const Png png = ExtractPngFromExecutableIcon(kExe, 32, 32);
  if (row.image_made) {
    ASSERT_TRUE(png);
    EXPECT_TRUE(png->empty());
  } else {
    EXPECT_FALSE(png);
  }
  // The failure was the one armed, and COM was left balanced: the thread has no apartment.
  EXPECT_FALSE(seam::FailureArmed(row.function)) << row.function << " never called";
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IconPngFailureTest,
    ::testing::Values(FailureRow{"CoInitialize", static_cast<DWORD>(E_OUTOFMEMORY), false},
                      FailureRow{"SHCreateItemFromParsingName", ERROR_ACCESS_DENIED, false},
                      FailureRow{"IShellItem::QueryInterface", static_cast<DWORD>(E_NOINTERFACE), false},
                      FailureRow{"IShellItemImageFactory::GetImage", static_cast<DWORD>(E_FAIL), false},
                      FailureRow{"GdiplusStartup", Gdiplus::GenericError, false},
                      FailureRow{"GetObjectA", ERROR_INVALID_HANDLE, false},
                      FailureRow{"GdipCreateBitmapFromScan0", Gdiplus::OutOfMemory, false},
                      FailureRow{"GdipBitmapLockBits", Gdiplus::WrongState, false},
                      FailureRow{"GetDIBits", ERROR_INVALID_PARAMETER, false},
                      FailureRow{"CreateCompatibleDC", ERROR_NOT_ENOUGH_MEMORY, false},
                      FailureRow{"GdipBitmapUnlockBits", Gdiplus::GenericError, false},
                      FailureRow{"CreateStreamOnHGlobal", static_cast<DWORD>(E_OUTOFMEMORY), true},
                      FailureRow{"GdipGetImageEncodersSize", Gdiplus::GenericError, true},
                      FailureRow{"GdipGetImageEncoders", Gdiplus::OutOfMemory, true},
                      FailureRow{"GdipSaveImageToStream", Gdiplus::Win32Error, true},
                      FailureRow{"GetHGlobalFromStream", static_cast<DWORD>(E_INVALIDARG), true},
                      FailureRow{"GlobalLock", ERROR_NOT_ENOUGH_MEMORY, true}),
    [](const auto& info) {
      std::string name = info.param.function;
      std::erase(name, ':');
      return name;
    });
#endif

TEST_F(IconPngTest, ApartmentsOfTheCallingThread) {
  // A single-threaded apartment stays as it was; the multithreaded one refuses the call.
  std::thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_TRUE(ExtractPngFromExecutableIcon(kExe, 32, 32));
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "the caller's apartment was undone";
    CoUninitialize();
    CoUninitialize();
  }).join();
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_FALSE(ExtractPngFromExecutableIcon(kExe, 32, 32));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
  }).join();
}

TEST_F(IconPngTest, ManyCallsOnSeveralThreadsLeaveNothingBehind) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 250;  // 1,000 in all
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&good, t] {
      for (int i = 0; i < kCalls; ++i) {
        const Png png = (i % 2) ? ExtractIconPng(kExe, 48, 48) : ExtractPngFromExecutableIcon(kExe, 16u << (t % 3), 16);
        if (png && !png->empty()) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kThreads * kCalls);
}

}  // namespace
}  // namespace quorvel::icon_test
