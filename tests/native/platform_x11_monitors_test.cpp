// Monitors over RandR: two monitors side by side on one private server, which monitor shows a window, monitor
// information, DPI from the physical size, and the outer rectangle the capture measures windows by.
#include "x11_test_support.h"

#include "platform/linux/display/x11_display.h"

namespace {

using x11_test::MonitorNamed;
using x11_test::WindowProcess;
namespace x11 = quorvel::platform::x11;

class Monitors : public x11_test::X11Suite<x11_test::TwoMonitors> {};

TEST_F(Monitors, ListIsTheRandrMonitorsWithTheirNameAtomsAsHandlesAndOnePrimaryAtTheOrigin) {
  const auto monitors = x11::Monitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[0].handle, MonitorNamed("LEFT"));
  EXPECT_EQ(monitors[1].handle, MonitorNamed("RIGHT"));
  EXPECT_NE(monitors[0].handle, nullptr);
  EXPECT_EQ(monitors[0].rect.left, 0);
  EXPECT_EQ(monitors[0].rect.right, 1920);
  EXPECT_EQ(monitors[1].rect.left, 1920);
  EXPECT_EQ(monitors[1].rect.right, 3840);
  EXPECT_EQ(monitors[1].rect.bottom, 1080);
  EXPECT_EQ(monitors[1].mm_width, 254);
  EXPECT_TRUE(monitors[0].primary);
  EXPECT_FALSE(monitors[1].primary);
  EXPECT_EQ(x11::Monitors()[1].handle, monitors[1].handle) << "a handle stays while its monitor exists";
}

TEST_F(Monitors, MonitorFromWindowPicksTheLargestOverlapAndHonoursTheDefaultFlag) {
  WindowProcess left({"--pos", "100,100"});
  WindowProcess straddling({"--pos", "1850,100", "--size", "400x100"});
  WindowProcess hidden_right({"--pos", "2000,100", "--unmapped"});
  WindowProcess nowhere({"--pos", "5000,3000"});
  const HMONITOR kLeft = MonitorNamed("LEFT"), kRight = MonitorNamed("RIGHT");
  struct Case {
    HWND window;
    DWORD flags;
    HMONITOR expected;
  } cases[] = {
      {left.window(), MONITOR_DEFAULTTONULL, kLeft},
      {straddling.window(), MONITOR_DEFAULTTONULL, kRight},
      {hidden_right.window(), MONITOR_DEFAULTTONULL, kRight},
      {nowhere.window(), MONITOR_DEFAULTTONULL, nullptr},
      {nowhere.window(), MONITOR_DEFAULTTOPRIMARY, kLeft},
      {nowhere.window(), MONITOR_DEFAULTTONEAREST, kRight},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.window, nullptr);
    EXPECT_EQ(MonitorFromWindow(c.window, c.flags), c.expected) << "window " << c.window << " flags " << c.flags;
  }
  EXPECT_EQ(MonitorFromWindow(reinterpret_cast<HWND>(0x1234567), MONITOR_DEFAULTTOPRIMARY), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Monitors, MonitorInfoInBothSizesAndRefusals) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetMonitorInfoW(MonitorNamed("RIGHT"), &info));
  EXPECT_EQ(info.rcMonitor.left, 1920);
  EXPECT_EQ(info.rcMonitor.right, 3840);
  EXPECT_EQ(info.dwFlags, 0u);
  MONITORINFOEXW ex{};
  ex.cbSize = sizeof ex;
  ASSERT_TRUE(GetMonitorInfoW(MonitorNamed("LEFT"), &ex));
  EXPECT_EQ(ex.dwFlags, MONITORINFOF_PRIMARY);
  EXPECT_EQ(std::wstring(ex.szDevice), L"LEFT");

  info.cbSize = 39;
  EXPECT_FALSE(GetMonitorInfoW(MonitorNamed("RIGHT"), &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  info.cbSize = sizeof info;
  EXPECT_FALSE(GetMonitorInfoW(reinterpret_cast<HMONITOR>(0x7777777), &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_MONITOR_HANDLE);
}

TEST_F(Monitors, DpiFollowsThePhysicalSize) {
  struct Case {
    const char* monitor;
    MONITOR_DPI_TYPE type;
    UINT x, y;
  } cases[] = {
      {"LEFT", MDT_EFFECTIVE_DPI, 96, 96},
      {"RIGHT", MDT_EFFECTIVE_DPI, 192, 192},
      {"RIGHT", MDT_RAW_DPI, 192, 192},
  };
  for (const auto& c : cases) {
    UINT x = 0, y = 0;
    ASSERT_EQ(GetDpiForMonitor(MonitorNamed(c.monitor), c.type, &x, &y), S_OK);
    EXPECT_EQ(x, c.x) << c.monitor << " " << c.type;
    EXPECT_EQ(y, c.y) << c.monitor << " " << c.type;
  }
  UINT x = 0, y = 0;
  EXPECT_EQ(GetDpiForMonitor(reinterpret_cast<HMONITOR>(0x7777777), MDT_EFFECTIVE_DPI, &x, &y), E_INVALIDARG);
  EXPECT_EQ(GetDpiForMonitor(MonitorNamed("LEFT"), MDT_EFFECTIVE_DPI, nullptr, &y), E_INVALIDARG);
}

TEST_F(Monitors, ExtendedFrameBoundsAreTheOuterRectangleInDesktopPixels) {
  WindowProcess right({"--pos", "2000,100", "--size", "320x200"});
  RECT dwm{}, window{};
  ASSERT_EQ(DwmGetWindowAttribute(right.window(), DWMWA_EXTENDED_FRAME_BOUNDS, &dwm, sizeof dwm), S_OK);
  ASSERT_TRUE(GetWindowRect(right.window(), &window));
  EXPECT_EQ(dwm.left, 2000);
  EXPECT_EQ(dwm.top, 100);
  EXPECT_EQ(dwm.right, 2320);
  EXPECT_EQ(dwm.bottom, 300);
  EXPECT_EQ(std::memcmp(&dwm, &window, sizeof dwm), 0);
  EXPECT_EQ(DwmGetWindowAttribute(right.window(), DWMWA_EXTENDED_FRAME_BOUNDS, &dwm, 8), E_INVALIDARG);
  EXPECT_EQ(DwmGetWindowAttribute(right.window(), 1, &dwm, sizeof dwm), E_INVALIDARG);
  EXPECT_EQ(DwmGetWindowAttribute(reinterpret_cast<HWND>(0x1234567), DWMWA_EXTENDED_FRAME_BOUNDS, &dwm, sizeof dwm),
            E_HANDLE);
}

}  // namespace
