// capture_window and GetWindowRects on two monitors side by side: which rectangle is used and how it is scaled,
// the window's area relative to the output that shows it, rotation in degrees, the waits, and the failures.
#include "capture_test_support.h"

#include <optional>

#include "game_screenshoter/window_capture.h"

namespace {

using capture_test::MonitorNamed;
using x11_test::WindowProcess;
namespace seam = quorvel::platform::seam;

class WindowCapture : public capture_test::CaptureSuite {};

std::uint64_t Handle(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd); }

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
      {left, true, 192, 192, {-3, 7, 1001, 765}},        // never scaled, whatever the DPI
      {left, false, 120, 120, {-3, 8, 1251, 956}},       // x1.25, toward zero: -3.75 -> -3
      {left, false, 96, 96, {-3, 7, 1001, 765}},
      {left, false, kDpiFails, 0, {-3, 7, 1001, 765}},   // no DPI: unscaled
      {right, false, 100, 100, {1999, 104, 2104, 208}},  // 100/96 in single precision: 1920 -> 1999
      {right, false, 144, 96, {2880, 150, 3030, 300}},   // the horizontal value scales both axes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "dpi " << c.dpi_x << " frame bounds " << c.frame_bounds);
    seam::ResetWindows();
    seam::ChooseDpi(c.dpi_x, c.dpi_y);
    if (!c.frame_bounds) seam::FailNextHResult("DwmGetWindowAttribute", E_FAIL);
    if (c.dpi_x == kDpiFails) seam::FailNextHResult("GetDpiForMonitor", E_FAIL);
    const std::optional<WindowRects> rects = GetWindowRects(c.window.window());
    ASSERT_TRUE(rects.has_value());
    EXPECT_EQ(rects->monitor, MonitorNamed(&c.window == &left ? "LEFT" : "RIGHT"));
    EXPECT_EQ(rects->window_rect.left, c.expected.left);
    EXPECT_EQ(rects->window_rect.top, c.expected.top);
    EXPECT_EQ(rects->window_rect.right, c.expected.right);
    EXPECT_EQ(rects->window_rect.bottom, c.expected.bottom);
  }
}

TEST_F(WindowCapture, NoValueForZeroAGoneWindowAWindowOnNoMonitorOrAMonitorThatCannotBeQueried) {
  WindowProcess nowhere({"--pos", "5000,3000"});
  WindowProcess shown({"--pos", "100,100"});
  WindowProcess gone({"--pos", "100,100"});
  const HWND gone_window = gone.window();
  gone.Kill();
  ASSERT_TRUE(x11_test::Eventually([&] { return !IsWindow(gone_window); }));

  seam::ResetWindows();
  EXPECT_FALSE(capture_window(0).has_value());
  EXPECT_EQ(seam::Calls("IsWindow"), 0u) << "0 is refused before any call";
  EXPECT_FALSE(capture_window(Handle(gone_window)).has_value());
  EXPECT_FALSE(GetWindowRects(nowhere.window()).has_value());
  EXPECT_FALSE(capture_window(Handle(nowhere.window())).has_value());
  seam::FailNext("GetMonitorInfoW", ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetWindowRects(shown.window()).has_value());
  EXPECT_TRUE(GetWindowRects(shown.window()).has_value());
  EXPECT_TRUE(Texts().empty()) << "these failures are not logged";
  EXPECT_EQ(seam::D3DCalls("D3D11CreateDevice"), 0) << "nothing was captured";
}

TEST_F(WindowCapture, AreaIsRelativeToTheOutputThatShowsTheWindowAndIsNotClamped) {
  WindowProcess right({"--pos", "2000,100", "--size", "800x600"});
  WindowProcess straddling({"--pos", "1890,50", "--size", "800x600"});  // mostly on the right monitor
  struct Case {
    const WindowProcess& window;
    WindowRect area;
  } cases[] = {{right, {80, 100, 800, 600}}, {straddling, {-30, 50, 800, 600}}};
  for (const Case& c : cases) {
    const std::optional<WindowScreenshot> shot = capture_window(Handle(c.window.window()));
    ASSERT_TRUE(shot.has_value());
    EXPECT_EQ(shot->area.x, c.area.x);
    EXPECT_EQ(shot->area.y, c.area.y);
    EXPECT_EQ(shot->area.w, c.area.w);
    EXPECT_EQ(shot->area.h, c.area.h);
    EXPECT_EQ(shot->width, 1920);
    EXPECT_EQ(shot->height, 1080);
    EXPECT_EQ(shot->image_blob.size(), std::size_t(shot->row_pitch) * std::size_t(shot->height));
  }
}

TEST_F(WindowCapture, RotationIsGivenInDegreesAndTheAreaIsNotTurned) {
  WindowProcess window({"--pos", "100,200", "--size", "300x100"});
  const std::pair<DXGI_MODE_ROTATION, int> cases[] = {
      {DXGI_MODE_ROTATION_UNSPECIFIED, 0}, {DXGI_MODE_ROTATION_IDENTITY, 0}, {DXGI_MODE_ROTATION_ROTATE90, 90},
      {DXGI_MODE_ROTATION_ROTATE180, 180}, {DXGI_MODE_ROTATION_ROTATE270, 270}, {static_cast<DXGI_MODE_ROTATION>(7), 0},
  };
  for (const auto& [rotation, degrees] : cases) {
    seam::ResetD3D();
    seam::SetRotation(rotation);
    const std::optional<WindowScreenshot> shot = capture_window(Handle(window.window()));
    ASSERT_TRUE(shot.has_value());
    EXPECT_EQ(shot->rotation, degrees) << rotation;
    EXPECT_EQ(shot->area.x, 100);
    EXPECT_EQ(shot->area.w, 300);
  }
}

TEST_F(WindowCapture, AWindowNotInFrontIsActivatedWithOnePauseAndOneInFrontIsCapturedWithoutWaiting) {
  WindowProcess first({"--pos", "100,100"});
  WindowProcess second({"--pos", "400,100"});
  struct Case {
    const WindowProcess& window;
    std::size_t activations;
    unsigned long long slept_ms;
  } cases[] = {{first, 1, 100}, {first, 0, 0}, {second, 1, 100}, {first, 1, 100}};
  for (const Case& c : cases) {
    seam::ResetWindows();
    seam::UseVirtualTime(true);
    ASSERT_TRUE(capture_window(Handle(c.window.window())).has_value());
    EXPECT_EQ(seam::Calls("SetForegroundWindow"), c.activations);
    EXPECT_EQ(seam::Calls("BringWindowToTop"), c.activations);
    EXPECT_EQ(seam::Calls("ShowWindow"), 0u) << "nothing to restore";
    EXPECT_EQ(seam::VirtualMilliseconds(), c.slept_ms);
    EXPECT_EQ(GetForegroundWindow(), c.window.window());
  }
}

}  // namespace
