// The window search's per-search process cache, with top-level windows of this very process (the test
// executable's folder is the install directory): each process is read once, a failed open is not remembered,
// and a memory failure inside the enumeration callback never escapes into the platform's enumeration.
#include "capture_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <new>

#include "game_screenshoter/find_game_window.h"
#include "platform/linux/wide.h"

// Allocations on this thread fail on request, so a sweep reaches every allocation the callback makes.
namespace {
thread_local long fail_after = -1;  // allocations to let through first; -1: none fails
thread_local bool failed = false;
}  // namespace

void* operator new(std::size_t size) {
  if (fail_after == 0) {
    fail_after = -1;
    failed = true;
    throw std::bad_alloc();
  }
  if (fail_after > 0) --fail_after;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

  // A top-level window of this process; later windows lie above earlier ones.
  HWND Window(int width, int height, bool mapped = true) {
    const ::Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 50, 50, width, height, 0, 0, 0);
    if (mapped) XMapWindow(display_, w);
    XSync(display_, False);
    const HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(w));
    if (mapped) EXPECT_TRUE(x11_test::Eventually([&] { return IsWindowVisible(hwnd) != FALSE; }));
    return hwnd;
  }

  Display* display_ = nullptr;
  std::wstring install_;
};

TEST_F(FindWindow, EachProcessIsReadOnceUnlessItCouldNotBeOpened) {
  Window(200, 200, /*mapped=*/false);
  Window(9, 200);
  const HWND lower = Window(100, 100);
  const HWND upper = Window(100, 100);
  struct Case {
    std::wstring path;
    bool open_fails;
    HWND found;
    std::size_t opens;
  } cases[] = {
      {install_, false, upper, 1},           // the first in enumeration order; the search stops there
      {L"/no/such/install", false, nullptr, 1},  // the second window's verdict comes from the cache
      {L"/no/such/install", true, nullptr, 2},   // a failed open leaves no entry: the next window opens again
      {install_, true, lower, 2},
  };
  for (const Case& c : cases) {
    seam::ResetWindows();
    if (c.open_fails) seam::FailNext("OpenProcess", ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindWindowByInstallPath(c.path), c.found);
    EXPECT_EQ(seam::Calls("OpenProcess"), c.opens) << quorvel::platform::WideToUtf8(c.path) << " " << c.open_fails;
    EXPECT_EQ(seam::OpenProcessHandles(), 0u);
  }
}

TEST_F(FindWindow, AMemoryFailureInTheCallbackRejectsAtMostThatWindowAndNeverEscapes) {
  const HWND window = Window(100, 100);
  bool verdict_kept_without_entry = false;
  bool completed = false;
  for (long n = 0; n < 200 && !completed; ++n) {
    EnumWindowsContext context;
    context.install_path = install_;
    failed = false;
    fail_after = n;
    const BOOL go_on = GameWindowEnumProc(window, reinterpret_cast<LPARAM>(&context));  // noexcept: a throw ends the test
    fail_after = -1;
    EXPECT_EQ(go_on == FALSE, context.found == window) << n;
    if (failed && go_on == FALSE && context.pid_cache.empty()) verdict_kept_without_entry = true;
    completed = !failed;
    if (completed) {
      EXPECT_EQ(go_on, FALSE);
      EXPECT_EQ(context.pid_cache.size(), 1u);
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_TRUE(verdict_kept_without_entry) << "the sweep never failed the cache insertion";
  // Not checked: the process handles a platform call that throws between OpenProcess and CloseHandle may leave.
}

}  // namespace
