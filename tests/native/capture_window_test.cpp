// capture_window and GetWindowRects on two monitors side by side: the rectangle used and its scaling, rotation in
// degrees, the activation pause in virtual time, and the failures, which log nothing but a read the server refuses.
#include "capture_test_support.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "game_screenshoter/window_capture.h"

namespace {

using capture_test::MonitorNamed;
using x11_test::WindowProcess;
namespace seam = quorvel::platform::seam;

class WindowCapture : public capture_test::CaptureSuite {};

std::uint64_t Handle(const WindowProcess& process) { return reinterpret_cast<std::uintptr_t>(process.window()); }

TEST_F(WindowCapture, FrameBoundsAreUsedAsTheyAreAndTheFallbackIsScaledByTheHorizontalDpi) {
  WindowProcess left({"--pos", "-3,7", "--size", "1004x758"});
  WindowProcess right({"--pos", "1920,100", "--size", "100x100"});
  constexpr UINT kDpiFails = 0;
  struct Case {
    const WindowProcess& window;
    bool frame_bounds;
    UINT dpi_x, dpi_y;
    RECT expected;
  } cases[] = {
      {left, true, 192, 192, {-3, 7, 1001, 765}},        // never scaled
      {left, false, 120, 120, {-3, 8, 1251, 956}},       // x1.25, toward zero: -3.75 -> -3
      {left, false, kDpiFails, 0, {-3, 7, 1001, 765}},   // no DPI: unscaled
      {right, false, 100, 100, {1999, 104, 2104, 208}},  // 100/96 in single precision: 1920 -> 1999
      {right, false, 144, 96, {2880, 150, 3030, 300}},   // the horizontal value scales both axes
  };
  for (const Case& c : cases) {
    Reset();
    seam::ChooseDpi(c.dpi_x, c.dpi_y);
    if (!c.frame_bounds) seam::FailNextHResult("DwmGetWindowAttribute", E_FAIL);
    if (c.dpi_x == kDpiFails) seam::FailNextHResult("GetDpiForMonitor", E_FAIL);
    const std::optional<WindowRects> rects = GetWindowRects(c.window.window());
    ASSERT_TRUE(rects.has_value());
    EXPECT_EQ(rects->monitor, MonitorNamed(&c.window == &left ? "LEFT" : "RIGHT"));
    const RECT& r = rects->window_rect;
    EXPECT_EQ((std::vector<LONG>{r.left, r.top, r.right, r.bottom}),
              (std::vector<LONG>{c.expected.left, c.expected.top, c.expected.right, c.expected.bottom}))
        << "dpi " << c.dpi_x << ", frame bounds " << c.frame_bounds;
  }
}

TEST_F(WindowCapture, NoValueForZeroAGoneWindowAWindowOnNoMonitorOrAMonitorThatCannotBeQueried) {
  WindowProcess nowhere({"--pos", "5000,3000"});
  WindowProcess shown({"--pos", "100,100"});
  WindowProcess gone({"--pos", "100,100"});
  const std::uint64_t gone_window = Handle(gone);
  gone.Kill();
  ASSERT_TRUE(x11_test::Eventually([&] { return !IsWindow(reinterpret_cast<HWND>(gone_window)); }));
  Reset();
  EXPECT_FALSE(capture_window(0).has_value());
  EXPECT_EQ(seam::Calls("IsWindow"), 0u) << "0 is refused before any call";
  EXPECT_FALSE(capture_window(gone_window).has_value());
  EXPECT_FALSE(capture_window(Handle(nowhere)).has_value());
  seam::FailNext("GetMonitorInfoW", ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(capture_window(Handle(shown)).has_value());
  EXPECT_EQ(seam::D3DCalls("D3D11CreateDevice"), 0);
  EXPECT_TRUE(Texts().empty());
}

TEST_F(WindowCapture, RotationIsGivenInDegreesAndTheAreaIsNotTurned) {
  WindowProcess window({"--pos", "2000,200", "--size", "300x100"});
  const std::pair<DXGI_MODE_ROTATION, int> cases[] = {
      {DXGI_MODE_ROTATION_UNSPECIFIED, 0}, {DXGI_MODE_ROTATION_IDENTITY, 0}, {DXGI_MODE_ROTATION_ROTATE90, 90},
      {DXGI_MODE_ROTATION_ROTATE180, 180}, {DXGI_MODE_ROTATION_ROTATE270, 270}};
  for (const auto& [rotation, degrees] : cases) {
    Reset();
    seam::SetRotation(rotation);
    const std::optional<WindowScreenshot> shot = capture_window(Handle(window));
    ASSERT_TRUE(shot.has_value());
    EXPECT_EQ(shot->rotation, degrees) << rotation;
    EXPECT_EQ((std::vector<int>{shot->area.x, shot->area.y, shot->area.w, shot->area.h}),
              (std::vector<int>{80, 200, 300, 100}));
  }
}

TEST_F(WindowCapture, AWindowNotInFrontIsActivatedWithOnePauseAndOneInFrontWithoutAny) {
  WindowProcess first({"--pos", "100,100"});
  WindowProcess second({"--pos", "400,100"});
  const std::pair<const WindowProcess*, bool> cases[] = {{&first, true}, {&first, false}, {&second, true}};
  for (const auto& [window, activated] : cases) {
    Reset();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(capture_window(Handle(*window)).has_value());
    // The pause is what is left of 100 ms once the activation's own (real) time is taken off: at most one sleep,
    // which with the call's real time makes at least 100 ms.
    const auto spent = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(seam::Calls("SetForegroundWindow"), activated ? 1u : 0u);
    EXPECT_EQ(seam::Calls("BringWindowToTop"), activated ? 1u : 0u);
    EXPECT_LE(seam::Calls("Sleep"), activated ? 1u : 0u);
    if (activated) {
      EXPECT_LE(seam::VirtualMilliseconds(), 100u);
      EXPECT_GE(seam::VirtualMilliseconds() + spent, 100u);
    } else {
      EXPECT_EQ(seam::VirtualMilliseconds(), 0u);
    }
    EXPECT_EQ(GetForegroundWindow(), window->window());
  }
}

// A server that will not give out the screen's pixels (the root of rootless Xwayland) fails the capture with the
// frame's line, however the frame is grabbed, rather than handing out what the image held before; once it gives
// them again, the window is captured.
TEST_F(WindowCapture, AReadTheServerRefusesFailsTheCaptureWithTheFramesLine) {
  using Method = quorvel::platform::d3d::GrabMethod;
  WindowProcess window({"--pos", "300,200", "--size", "200x150", "--color", "3366CC"});
  for (const Method method : {Method::kRender, Method::kShmGetImage, Method::kGetImage}) {
    SCOPED_TRACE(static_cast<int>(method));
    Reset();
    seam::UseGrabMethod(method);
    seam::RefuseScreenReads(true);
    EXPECT_FALSE(capture_window(Handle(window)).has_value());
    EXPECT_EQ(Texts(), std::vector<std::string>{"RuduVizozadoz: unable to acquire a frame, hr=-2005270490"});
    EXPECT_EQ(seam::D3DCalls("IDXGIOutputDuplication::AcquireNextFrame"), 1);

    seam::RefuseScreenReads(false);
    const std::optional<WindowScreenshot> shot = capture_window(Handle(window));
    ASSERT_TRUE(shot.has_value());
    std::uint32_t pixel = 0;
    const auto at = static_cast<std::size_t>(shot->area.y + 75) * shot->row_pitch + 4 * (shot->area.x + 100);
    std::memcpy(&pixel, shot->image_blob.data() + at, 4);
    EXPECT_EQ(pixel, 0xFF3366CCu);
  }
}

}  // namespace
