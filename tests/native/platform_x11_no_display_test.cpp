// Without an X server every call fails cleanly with its platform's error, and a server that dies under the
// process neither ends it nor leaves it stuck: the next server named by $DISPLAY is used.
#include "x11_test_support.h"

#include "platform/linux/display/x11_display.h"

namespace {

namespace x11 = quorvel::platform::x11;
using x11_test::WindowProcess;

// Every call of the surface, each checked against its failure value.
void ExpectEveryCallFails(HWND window) {
  RECT rect{1, 2, 3, 4};
  DWORD pid = 9;
  EXPECT_FALSE(IsWindow(window));
  SetLastError(0);
  EXPECT_FALSE(EnumWindows([](HWND, LPARAM) -> BOOL { return TRUE; }, 0));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetParent(window), nullptr);
  EXPECT_FALSE(GetClientRect(window, &rect));
  EXPECT_FALSE(GetWindowRect(window, &rect));
  EXPECT_EQ(rect.left, 1) << "left alone";
  EXPECT_EQ(GetWindowThreadProcessId(window, &pid), 0u);
  EXPECT_FALSE(IsIconic(window));
  EXPECT_FALSE(ShowWindow(window, SW_RESTORE));
  EXPECT_EQ(GetForegroundWindow(), nullptr);
  EXPECT_FALSE(SetForegroundWindow(window));
  EXPECT_FALSE(BringWindowToTop(window));
  for (DWORD flags : {MONITOR_DEFAULTTONULL, MONITOR_DEFAULTTOPRIMARY, MONITOR_DEFAULTTONEAREST}) {
    EXPECT_EQ(MonitorFromWindow(window, flags), nullptr);
  }
  MONITORINFO info{};
  info.cbSize = sizeof info;
  EXPECT_FALSE(GetMonitorInfoW(reinterpret_cast<HMONITOR>(0x100), &info));
  EXPECT_EQ(DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof rect), E_HANDLE);
  UINT x = 0, y = 0;
  EXPECT_EQ(GetDpiForMonitor(reinterpret_cast<HMONITOR>(0x100), MDT_EFFECTIVE_DPI, &x, &y), E_INVALIDARG);
  EXPECT_TRUE(x11::Monitors().empty());
  EXPECT_FALSE(x11::Available());
}

TEST(NoDisplay, UnsetOrUnreachableDisplayFailsEveryCall) {
  for (const char* display : {static_cast<const char*>(nullptr), ":59999"}) {
    SCOPED_TRACE(display ? display : "(unset)");
    if (display == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display, 1);
    }
    ExpectEveryCallFails(reinterpret_cast<HWND>(0x400001));
  }
}

TEST(NoDisplay, ADyingServerIsReplacedByTheNextOne) {
  x11_test::Layout one;
  one.display_number = x11_test::OwnDisplayNumber();
  auto first = std::make_unique<x11_test::Server>(one);
  ASSERT_FALSE(first->display().empty());
  setenv("DISPLAY", first->display().c_str(), 1);
  HWND window = nullptr;
  {
    WindowProcess game({});
    window = game.window();
    ASSERT_TRUE(IsWindow(window));
    first->Kill();
    ExpectEveryCallFails(window);
  }
  // The next server may well reuse the display number: the dead connection is replaced all the same.
  x11_test::Server second(one);
  ASSERT_FALSE(second.display().empty());
  setenv("DISPLAY", second.display().c_str(), 1);
  WindowProcess game({});
  EXPECT_TRUE(IsWindow(game.window()));
  EXPECT_EQ(x11::Monitors().size(), 1u);
}

}  // namespace
