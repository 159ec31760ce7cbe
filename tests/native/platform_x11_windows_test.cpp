// Windows of real client processes on a private server without a window manager: enumeration order and stop,
// existence, parent and owner, visibility, client area, and the process behind a window.
#include "x11_test_support.h"

#include <functional>

namespace {

using x11_test::WindowProcess;

class Windows : public x11_test::X11Suite<x11_test::OneMonitor> {};

std::vector<HWND> Enumerate(int stop_after = -1, BOOL* result = nullptr) {
  struct State {
    std::vector<HWND> seen;
    int stop_after;
  } state{{}, stop_after};
  const BOOL r = EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<State*>(param);
        s->seen.push_back(hwnd);
        return static_cast<int>(s->seen.size()) == s->stop_after ? FALSE : TRUE;
      },
      reinterpret_cast<LPARAM>(&state));
  if (result != nullptr) *result = r;
  return state.seen;
}

std::ptrdiff_t IndexOf(const std::vector<HWND>& windows, HWND hwnd) {
  auto it = std::find(windows.begin(), windows.end(), hwnd);
  return it == windows.end() ? -1 : it - windows.begin();
}

TEST_F(Windows, EnumerationDeliversTopLevelWindowsTopFirstAndStopsOnFalse) {
  WindowProcess lower({"--child", "--owned"});
  WindowProcess upper({"--pos", "300,300", "--unmapped"});
  WindowProcess top({"--pos", "400,400"});
  BOOL result = FALSE;
  const auto all = Enumerate(-1, &result);
  EXPECT_TRUE(result);
  const auto i_lower = IndexOf(all, lower.window()), i_upper = IndexOf(all, upper.window()),
             i_top = IndexOf(all, top.window());
  ASSERT_GE(i_lower, 0);
  ASSERT_GE(i_upper, 0) << "hidden top-level windows are enumerated too";
  ASSERT_GE(i_top, 0);
  EXPECT_LT(i_top, i_lower) << "top of the stacking order first";
  EXPECT_GE(IndexOf(all, lower.window("popup")), 0) << "owned windows are top-level";
  EXPECT_EQ(IndexOf(all, lower.window("child")), -1) << "child windows are not";

  const auto first_two = Enumerate(2, &result);
  EXPECT_FALSE(result);
  EXPECT_EQ(first_two.size(), 2u);
  EXPECT_FALSE(EnumWindows(nullptr, 0));
}

TEST_F(Windows, ExistenceParentVisibilityAndClientArea) {
  WindowProcess game({"--size", "200x150", "--child", "--owned"});
  WindowProcess hidden({"--unmapped"});
  WindowProcess tiny({"--size", "5x9"});
  const HWND window = game.window(), child = game.window("child"), popup = game.window("popup");
  ASSERT_NE(child, nullptr);
  ASSERT_NE(popup, nullptr);

  struct Case {
    const char* what;
    HWND hwnd;
    BOOL exists, visible;
    HWND parent;
    RECT client;
  } cases[] = {
      {"top-level", window, TRUE, TRUE, nullptr, {0, 0, 200, 150}},
      {"child", child, TRUE, TRUE, window, {0, 0, 50, 37}},
      {"owned pop-up", popup, TRUE, TRUE, window, {0, 0, 40, 40}},
      {"unmapped", hidden.window(), TRUE, FALSE, nullptr, {0, 0, 200, 150}},
      {"tiny", tiny.window(), TRUE, TRUE, nullptr, {0, 0, 5, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsWindow(c.hwnd), c.exists);
    EXPECT_EQ(IsWindowVisible(c.hwnd), c.visible);
    EXPECT_EQ(GetParent(c.hwnd), c.parent);
    RECT client{-1, -1, -1, -1};
    ASSERT_TRUE(GetClientRect(c.hwnd, &client));
    EXPECT_EQ(std::memcmp(&client, &c.client, sizeof client), 0)
        << client.left << "," << client.top << "," << client.right << "," << client.bottom;
    EXPECT_FALSE(IsIconic(c.hwnd)) << "no window manager, no minimised state";
  }

  // A child window's rectangle is in desktop pixels, inside its parent's.
  RECT outer{}, inner{};
  ASSERT_TRUE(GetWindowRect(window, &outer));
  ASSERT_TRUE(GetWindowRect(child, &inner));
  EXPECT_EQ(inner.left, outer.left + 10);
  EXPECT_EQ(inner.top, outer.top + 10);
}

TEST_F(Windows, GoneAndImpossibleWindowsFailWithoutHarm) {
  WindowProcess game({});
  const HWND window = game.window();
  ASSERT_TRUE(IsWindow(window));
  game.Kill();
  ASSERT_TRUE(x11_test::Eventually([&] { return !IsWindow(window); }));
  const HWND impossible = reinterpret_cast<HWND>(std::uintptr_t{0xFFFFFFFFFFull});
  for (HWND hwnd : {window, static_cast<HWND>(nullptr), impossible}) {
    RECT rect{};
    DWORD pid = 7;
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_EQ(GetParent(hwnd), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(GetClientRect(hwnd, &rect));
    EXPECT_FALSE(GetWindowRect(hwnd, &rect));
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), 0u);
    EXPECT_EQ(pid, 7u) << "left alone on failure";
    EXPECT_FALSE(ShowWindow(hwnd, SW_RESTORE));
    EXPECT_FALSE(SetForegroundWindow(hwnd));
    EXPECT_FALSE(BringWindowToTop(hwnd));
  }
}

TEST_F(Windows, ProcessOfAWindowComesFromTheServerEvenWithoutNetWmPid) {
  WindowProcess with_pid({});
  WindowProcess without_pid({"--no-pid", "--child"});
  for (const WindowProcess* p : {&with_pid, &without_pid}) {
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(p->window(), &pid), static_cast<DWORD>(p->pid()));
    EXPECT_EQ(pid, static_cast<DWORD>(p->pid()));
  }
  DWORD pid = 0;
  EXPECT_NE(GetWindowThreadProcessId(without_pid.window("child"), &pid), 0u);
  EXPECT_EQ(pid, static_cast<DWORD>(without_pid.pid()));
  EXPECT_NE(GetWindowThreadProcessId(with_pid.window(), nullptr), 0u) << "the process id out-parameter is optional";
}

TEST_F(Windows, ForegroundAndRaisingWithoutAWindowManager) {
  WindowProcess a({"--pos", "10,10"});
  WindowProcess b({"--pos", "20,20"});
  WindowProcess hidden({"--unmapped"});
  ASSERT_TRUE(SetForegroundWindow(a.window()));
  EXPECT_EQ(GetForegroundWindow(), a.window());
  EXPECT_EQ(Enumerate(1)[0], a.window()) << "activation raises";
  ASSERT_TRUE(BringWindowToTop(b.window()));
  EXPECT_EQ(Enumerate(1)[0], b.window());
  EXPECT_EQ(GetForegroundWindow(), a.window()) << "raising does not move the focus";
  EXPECT_FALSE(SetForegroundWindow(hidden.window())) << "a hidden window cannot take the focus";

  EXPECT_FALSE(ShowWindow(hidden.window(), SW_SHOW)) << "was hidden";
  EXPECT_TRUE(x11_test::Eventually([&] { return IsWindowVisible(hidden.window()) == TRUE; }));
  EXPECT_TRUE(ShowWindow(hidden.window(), SW_HIDE)) << "was visible";
  EXPECT_TRUE(x11_test::Eventually([&] { return IsWindowVisible(hidden.window()) == FALSE; }));
}

}  // namespace
