// Several threads use the one X connection while windows of other processes come and go: errors about vanished
// windows must reach only the call that caused them, never another thread's call and never the process.
#include "x11_test_support.h"

#include <atomic>
#include <memory>

namespace {

using x11_test::WindowProcess;

class Threads : public x11_test::X11Suite<x11_test::TwoMonitors> {};

TEST_F(Threads, VanishingWindowsNeverDisturbOtherThreadsCalls) {
  WindowProcess stable({"--pos", "2000,100", "--child"});
  const HWND window = stable.window();
  ASSERT_NE(window, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<long> rounds{0};

  auto worker = [&] {
    while (!stop.load()) {
      // Walk every window, as the window search does, while some of them are being destroyed.
      EnumWindows(
          [](HWND hwnd, LPARAM) -> BOOL {
            RECT rect;
            DWORD pid = 0;
            IsWindowVisible(hwnd);
            GetClientRect(hwnd, &rect);
            GetWindowThreadProcessId(hwnd, &pid);
            MonitorFromWindow(hwnd, MONITOR_DEFAULTTONULL);
            return TRUE;
          },
          0);
      RECT rect{};
      DWORD pid = 0;
      if (!IsWindow(window) || !GetWindowRect(window, &rect) || rect.left != 2000 ||
          GetWindowThreadProcessId(window, &pid) == 0 || GetParent(stable.window("child")) != window) {
        ++wrong;
      }
      ++rounds;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(worker);
  for (int i = 0; i < 12; ++i) {
    auto transient = std::make_unique<WindowProcess>(std::vector<std::string>{"--child", "--owned"});
    const auto seen = rounds.load();
    x11_test::Eventually([&] { return rounds.load() > seen + 2; });
    transient.reset();  // killed while the workers walk its windows
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(rounds.load(), 12);
}

}  // namespace
