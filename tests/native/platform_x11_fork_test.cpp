// fork() while the layer's connection is open and in use: the child starts with no X state of the parent's (no lock
// held by a thread it does not have, no shared connection), connects on its first call, and parent and child then
// each find and capture their windows, at the same time, without disturbing the other.
#include "x11_test_support.h"

#include <atomic>
#include <filesystem>

#include "game_screenshoter/find_game_window.h"
#include "game_screenshoter/window_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using x11_test::WindowProcess;
constexpr auto kBound = std::chrono::seconds(15);
const std::wstring kInstall = std::filesystem::path(x11_test::FixtureProgram()).parent_path().wstring();

std::uint64_t Id(const WindowProcess& w) { return reinterpret_cast<std::uintptr_t>(w.window()); }

// The capture of `window` shows it at its area's centre in `rgb`.
bool CapturedAs(std::uint64_t window, std::uint32_t rgb) {
  const auto shot = capture_window(window);
  if (!shot || shot->area.w <= 0 || shot->area.h <= 0) return false;
  const int x = shot->area.x + shot->area.w / 2, y = shot->area.y + shot->area.h / 2;
  if (x < 0 || y < 0 || x >= shot->width || y >= shot->height) return false;
  const std::uint8_t* p = shot->image_blob.data() + static_cast<std::size_t>(y) * shot->row_pitch + x * 4;
  return (static_cast<std::uint32_t>(p[2]) << 16 | p[1] << 8 | p[0]) == rgb;
}

// Its exit status, or -1 when it did not end within the bound (then it is killed).
int Await(pid_t child) {
  const auto deadline = Clock::now() + kBound;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Fork : public x11_test::X11Suite<x11_test::OneMonitor> {
 protected:
  void SetUp() override {
#ifdef __SANITIZE_THREAD__
    // The child starts the layer's watchdog thread, as a forked program's child does.
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#endif
    X11Suite::SetUp();
    signal(SIGPIPE, SIG_IGN);
    parents_ = std::make_unique<WindowProcess>(std::vector<std::string>{"--pos", "100,100", "--color", "FF0000"});
    childs_ = std::make_unique<WindowProcess>(std::vector<std::string>{"--pos", "600,100", "--color", "0000FF"});
    ASSERT_NE(parents_->window(), nullptr);
    ASSERT_NE(childs_->window(), nullptr);
    ASSERT_TRUE(CapturedAs(Id(*parents_), 0xFF0000)) << "the parent's connection is open and works";
  }

  // The child's calls: the search finds one of the two windows, and its window is captured with its pixels.
  // Exit status: 0 right, 1 the search, 2 the capture.
  [[noreturn]] void ChildCalls(int rounds) {
    for (int i = 0; i < rounds; ++i) {
      const std::uint64_t found = FindGameWindow(kInstall, 0);
      if (found != Id(*parents_) && found != Id(*childs_)) _exit(1);
      if (!CapturedAs(Id(*childs_), 0x0000FF)) _exit(2);
    }
    _exit(0);
  }

  std::unique_ptr<WindowProcess> parents_, childs_;
};

TEST_F(Fork, AChildForkedWhileAnotherThreadIsInTheMiddleOfACaptureCallsWithinTheBound) {
  std::atomic<bool> stop{false};
  std::atomic<int> parent_wrong{0}, parent_calls{0};
  std::thread capturing([&] {
    while (!stop) {
      parent_wrong += !CapturedAs(Id(*parents_), 0xFF0000);
      ++parent_calls;
    }
  });
  // The server stopped for a moment holds the capturing thread inside a capture, waiting on the server with the
  // connection's lock, when the fork comes (any later moment would do for the layer; this one is sure to be inside,
  // and the thread holds none of the C library's own locks there, which a child after fork could not take either).
  for (int i = 0; i < 5; ++i) {
    const int calls = parent_calls;
    ASSERT_TRUE(x11_test::Eventually([&] { return parent_calls > calls; }));
    ASSERT_EQ(kill(server_->pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const pid_t child = fork();
    if (child == 0) ChildCalls(1);
    kill(server_->pid(), SIGCONT);
    ASSERT_GT(child, 0);
    EXPECT_EQ(Await(child), 0) << "child " << i << " (-1: it hung)";
  }
  stop = true;
  capturing.join();
  EXPECT_EQ(parent_wrong.load(), 0) << "the parent's connection was disturbed";
  EXPECT_GT(parent_calls.load(), 5);
}

TEST_F(Fork, ParentAndChildCaptureAtOnceEachTheirOwnWindow) {
  for (int round = 0; round < 3; ++round) {
    const pid_t child = fork();
    if (child == 0) ChildCalls(6);
    ASSERT_GT(child, 0);
    int wrong = 0;
    for (int i = 0; i < 6; ++i) {
      const std::uint64_t found = FindGameWindow(kInstall, 0);
      wrong += found != Id(*parents_) && found != Id(*childs_);
      wrong += !CapturedAs(Id(*parents_), 0xFF0000);
    }
    EXPECT_EQ(Await(child), 0) << "round " << round << " (-1: the child hung)";
    EXPECT_EQ(wrong, 0) << "round " << round;
  }
}

}  // namespace
