// The window search with top-level windows of this very process (the test executable's folder is the install
// directory): each process read once per search, a failed open not remembered, the warning's fixed site, and a
// memory failure inside the enumeration callback that never escapes into the platform's enumeration.
#include "capture_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <new>

#include "game_screenshoter/find_game_window.h"
#include "platform/linux/base/wide.h"

// Allocations on this thread can be made to fail, one at a chosen count.
namespace {
thread_local long fail_after = -1;  // allocations to let through first; -1: none fails
thread_local bool failed = false;
thread_local long allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (fail_after == 0) {
    fail_after = -1;
    failed = true;
    throw std::bad_alloc();
  }
  if (fail_after > 0) --fail_after;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Not inlined: GCC would otherwise see free() meet memory from operator new and warn of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace seam = quorvel::platform::seam;

class FindWindow : public capture_test::CaptureSuite {
 protected:
  void SetUp() override {
    CaptureSuite::SetUp();
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr);
    install_ = quorvel::platform::Utf8ToWide(std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
  }
  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
    CaptureSuite::TearDown();
  }

  // A top-level window of this process, above those made before it.
  HWND Window(int width, int height, bool mapped = true) {
    const ::Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 50, 50, width, height, 0, 0, 0);
    if (mapped) XMapWindow(display_, w);
    XSync(display_, False);
    const HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(w));
    if (mapped) {
      EXPECT_TRUE(x11_test::Eventually([&] { return IsWindowVisible(hwnd) != FALSE; }));
    }
    return hwnd;
  }

  Display* display_ = nullptr;
  std::wstring install_;
};

TEST_F(FindWindow, EachProcessIsReadOnceUnlessItCouldNotBeOpenedAndNothingFoundIsOneWarning) {
  Window(200, 200, /*mapped=*/false);  // the cheap tests reject these two without opening the process
  Window(9, 200);
  const HWND lower = Window(100, 100);
  const HWND upper = Window(100, 100);
  struct Case {
    std::wstring path;
    bool open_fails;
    HWND found;
    std::size_t opens;
  } cases[] = {
      {install_, false, upper, 1},               // the first in enumeration order ends the search
      {L"/no/such/install", false, nullptr, 1},  // the second window's verdict comes from the cache
      {L"/no/such/install", true, nullptr, 2},   // a failed open leaves no entry: the next window opens again
      {install_, true, lower, 2},
  };
  for (const Case& c : cases) {
    Reset();
    if (c.open_fails) seam::FailNext("OpenProcess", ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindWindowByInstallPath(c.path), c.found);
    EXPECT_EQ(seam::Calls("OpenProcess"), c.opens) << quorvel::platform::WideToUtf8(c.path) << " " << c.open_fails;
    EXPECT_EQ(seam::OpenProcessHandles(), 0u);
  }
  Reset();
  EXPECT_EQ(FindGameWindow(L"/no/such/install", 0), 0u);
  const auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "RuduVizozadoz: unable to locate the window belong to a process that located in /no/such/install");
  EXPECT_EQ(lines[0].level, spdlog::level::warn);
  EXPECT_EQ(lines[0].function, "FindGameWindow");
  EXPECT_EQ(lines[0].line, 370);
  EXPECT_TRUE(lines[0].file.ends_with("game_screenshoter/find_game_window.cpp")) << lines[0].file;
}

TEST_F(FindWindow, AMemoryFailureInTheCallbackRejectsAtMostThatWindowAndNeverEscapes) {
  const HWND window = Window(100, 100);
  struct Outcome {
    BOOL go_on;
    bool failed;
    std::size_t cached;
  };
  const auto run = [&](long fail_at) {
    EnumWindowsContext context;
    context.install_path = install_;
    failed = false;
    fail_after = fail_at;
    const BOOL go_on = GameWindowEnumProc(window, reinterpret_cast<LPARAM>(&context));  // noexcept: a throw aborts
    fail_after = -1;
    EXPECT_EQ(go_on == FALSE, context.found == window) << fail_at;
    return Outcome{go_on, failed, context.pid_cache.size()};
  };
  run(-1);  // the platform's caches warm up
  const long before = allocations;
  ASSERT_EQ(run(-1).go_on, FALSE);
  const long count = allocations - before;
  ASSERT_GT(count, 0);
  for (long n = 0; n < count; ++n) EXPECT_TRUE(run(n).failed) << n;
  // The last allocation is the cache entry: without it the verdict still holds.
  const Outcome last = run(count - 1);
  EXPECT_TRUE(last.failed);
  EXPECT_EQ(last.go_on, FALSE);
  EXPECT_EQ(last.cached, 0u);
}

}  // namespace
