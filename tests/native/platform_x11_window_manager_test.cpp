// Under a window manager (openbox) with two monitors: frames resolved to their clients, outer rectangles that
// include the frame, minimise and restore, activation and raising through EWMH.
#include "x11_test_support.h"

namespace {

using x11_test::Eventually;
using x11_test::WindowProcess;

class WindowManager : public x11_test::X11Suite<x11_test::ManagedTwoMonitors> {};

HWND FirstVisible() {
  HWND found = nullptr;
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        RECT client{};
        GetClientRect(hwnd, &client);
        // Skip the manager's own windows: only the test's windows are large and visible.
        if (!IsWindowVisible(hwnd) || client.right < 30) return TRUE;
        *reinterpret_cast<HWND*>(param) = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

TEST_F(WindowManager, FramesStandForTheirClientsAndTheOuterRectangleIsTheFrame) {
  WindowProcess game({"--pos", "2100,200", "--size", "300x200", "--owned"});
  std::pair<HWND, bool> search{game.window(), false};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* p = reinterpret_cast<std::pair<HWND, bool>*>(param);
        if (hwnd == p->first) p->second = true;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  EXPECT_TRUE(search.second) << "the client, not its frame, is enumerated";
  EXPECT_EQ(GetParent(game.window()), nullptr) << "reparented into a frame, still top-level";
  EXPECT_EQ(GetParent(game.window("popup")), game.window());

  RECT outer{}, dwm{}, client{};
  ASSERT_TRUE(GetWindowRect(game.window(), &outer));
  ASSERT_EQ(DwmGetWindowAttribute(game.window(), DWMWA_EXTENDED_FRAME_BOUNDS, &dwm, sizeof dwm), S_OK);
  ASSERT_TRUE(GetClientRect(game.window(), &client));
  EXPECT_EQ(std::memcmp(&outer, &dwm, sizeof outer), 0);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 200);
  EXPECT_GT(outer.right - outer.left, 300) << "the frame adds its borders";
  EXPECT_GT(outer.bottom - outer.top, 200) << "and its title bar";
  EXPECT_GE(outer.left, 1920);
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(game.window(), MONITOR_DEFAULTTONULL), &info));
  EXPECT_EQ(std::wstring(info.szDevice), L"RIGHT");
}

TEST_F(WindowManager, MinimiseAndRestore) {
  WindowProcess game({"--minimized", "--size", "200x150"});
  const HWND window = game.window();
  ASSERT_TRUE(Eventually([&] { return IsIconic(window) == TRUE; }));
  RECT client{-1, -1, -1, -1};
  ASSERT_TRUE(GetClientRect(window, &client));
  EXPECT_EQ(client.right, 0) << "a minimised window has no client area";
  EXPECT_EQ(client.bottom, 0);
  EXPECT_TRUE(IsWindowVisible(window)) << "minimised windows stay visible, as on Windows";

  EXPECT_TRUE(ShowWindow(window, SW_RESTORE)) << "it was visible";
  EXPECT_FALSE(IsIconic(window)) << "restored when ShowWindow returns";
  ASSERT_TRUE(GetClientRect(window, &client));
  EXPECT_EQ(client.right, 200);
  EXPECT_EQ(client.bottom, 150);

  ShowWindow(window, SW_MINIMIZE);
  EXPECT_TRUE(IsIconic(window));
  EXPECT_NE(GetForegroundWindow(), window);
  ShowWindow(window, SW_SHOW);
  EXPECT_TRUE(IsIconic(window)) << "SW_SHOW leaves a minimised window minimised";

  ShowWindow(window, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_FALSE(IsIconic(window));
  EXPECT_FALSE(ShowWindow(window, SW_SHOWNORMAL)) << "it was hidden";
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_FALSE(IsIconic(window));
}

TEST_F(WindowManager, ActivationAndRaising) {
  WindowProcess a({"--pos", "100,100"});
  WindowProcess b({"--pos", "150,150"});
  ASSERT_TRUE(SetForegroundWindow(a.window()));
  EXPECT_EQ(GetForegroundWindow(), a.window());
  ASSERT_TRUE(SetForegroundWindow(b.window()));
  EXPECT_EQ(GetForegroundWindow(), b.window());
  EXPECT_EQ(FirstVisible(), b.window());

  ASSERT_TRUE(BringWindowToTop(a.window()));
  EXPECT_EQ(FirstVisible(), a.window());

  // The capture's path for a minimised window: restore, then activate.
  ShowWindow(a.window(), SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(a.window()));
  ShowWindow(a.window(), SW_RESTORE);
  if (GetForegroundWindow() != a.window()) {
    EXPECT_TRUE(SetForegroundWindow(a.window()));
  }
  EXPECT_EQ(GetForegroundWindow(), a.window());
  EXPECT_FALSE(IsIconic(a.window()));
  RECT client{};
  GetClientRect(a.window(), &client);
  EXPECT_EQ(client.right, 200);

  // Activating a minimised window restores it, as on Windows.
  ShowWindow(b.window(), SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(b.window()));
  EXPECT_TRUE(SetForegroundWindow(b.window()));
  EXPECT_FALSE(IsIconic(b.window()));
}

}  // namespace
