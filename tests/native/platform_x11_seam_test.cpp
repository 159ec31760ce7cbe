// The test seam of the window layer: virtual time for Sleep, scripted failures of the DWM, DPI, monitor and
// process calls, chosen DPI values, and call counts.
#include "x11_test_support.h"

#include "platform/linux/seam/seam.h"
#include "platform/linux/seam/seam_windows.h"

namespace {

namespace seam = quorvel::platform::seam;
using x11_test::WindowProcess;

class Seam : public x11_test::X11Suite<x11_test::OneMonitor> {
 protected:
  void TearDown() override {
    seam::Reset();
    seam::ResetWindows();
  }
};

TEST_F(Seam, VirtualTimeAddsSleepsUp) {
  seam::ResetWindows();
  seam::UseVirtualTime(true);
  Sleep(100);
  Sleep(250);
  EXPECT_EQ(seam::VirtualMilliseconds(), 350u);
  EXPECT_EQ(seam::Calls("Sleep"), 2u);
  seam::UseVirtualTime(false);
  Sleep(1);
  EXPECT_EQ(seam::VirtualMilliseconds(), 350u);
}

TEST_F(Seam, ScriptedFailuresHitOneCallEach) {
  WindowProcess game({});
  const HWND window = game.window();
  const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONULL);
  ASSERT_NE(monitor, nullptr);
  RECT rect{};
  MONITORINFO info{};
  info.cbSize = sizeof info;
  UINT x = 0, y = 0;
  struct Case {
    const char* function;
    std::function<bool()> fails;  // the call, true when it failed as armed
  } cases[] = {
      {"DwmGetWindowAttribute",
       [&] { return DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof rect) == E_ACCESSDENIED; }},
      {"GetDpiForMonitor", [&] { return GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y) == E_ACCESSDENIED; }},
      {"GetMonitorInfoW",
       [&] { return !GetMonitorInfoW(monitor, &info) && GetLastError() == static_cast<DWORD>(E_ACCESSDENIED); }},
      {"OpenProcess",
       [&] {
         const std::size_t open = seam::OpenProcessHandles();
         const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, getpid());
         if (process != nullptr) return !CloseHandle(process);
         return GetLastError() == static_cast<DWORD>(E_ACCESSDENIED) && seam::OpenProcessHandles() == open;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    seam::FailNextHResult(c.function, E_ACCESSDENIED);
    EXPECT_TRUE(c.fails());
    EXPECT_FALSE(c.fails()) << "only the next call fails";
  }
}

TEST_F(Seam, ChosenDpiAndCallCounts) {
  WindowProcess game({});
  seam::ResetWindows();
  const HMONITOR monitor = MonitorFromWindow(game.window(), MONITOR_DEFAULTTONULL);
  UINT x = 0, y = 0;
  ASSERT_EQ(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y), S_OK);
  EXPECT_EQ(x, 96u) << "Xvfb's own monitor reports 96 DPI";
  seam::ChooseDpi(120, 144);
  ASSERT_EQ(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y), S_OK);
  EXPECT_EQ(x, 120u);
  EXPECT_EQ(y, 144u);
  EXPECT_EQ(seam::Calls("MonitorFromWindow"), 1u);
  EXPECT_EQ(seam::Calls("GetDpiForMonitor"), 2u);
  seam::ResetWindows();
  EXPECT_EQ(seam::Calls("GetDpiForMonitor"), 0u);
  ASSERT_EQ(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y), S_OK);
  EXPECT_EQ(x, 96u) << "the chosen values end with the reset";
}

}  // namespace
