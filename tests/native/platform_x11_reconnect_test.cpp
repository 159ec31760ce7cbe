// A server that stops while the process is idle, and a new one that takes over the same display name: the first
// call after the switch must already talk to the new server.
#include "x11_test_support.h"

#include "platform/linux/display/x11_display.h"

namespace {

using x11_test::WindowProcess;

// Xvfb on a display number of the test's choosing (the name must stay the same across the switch).
class NamedServer {
 public:
  explicit NamedServer(const std::string& name) : name_(name) {
    pid_ = x11_test::Spawn({"Xvfb", name, "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}, name);
    ready_ = x11_test::Eventually([&] {
      Display* d = XOpenDisplay(name.c_str());
      if (d != nullptr) XCloseDisplay(d);
      return d != nullptr;
    });
  }
  ~NamedServer() { x11_test::Stop(pid_); }
  bool ready() const { return ready_; }
  void Stop() { x11_test::Stop(pid_); }

 private:
  std::string name_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST(Reconnect, FirstCallAfterAServerSwitchUsesTheNewServer) {
  // A number far from the ones -displayfd hands out to the other tests.
  const std::string name = ":" + std::to_string(4000 + getpid() % 20000);
  setenv("DISPLAY", name.c_str(), 1);
  {
    NamedServer first(name);
    ASSERT_TRUE(first.ready());
    WindowProcess game({});
    ASSERT_TRUE(IsWindow(game.window()));  // the layer's connection is open now
    game.Kill();
    first.Stop();
  }
  NamedServer second(name);
  ASSERT_TRUE(second.ready());
  WindowProcess game({});
  ASSERT_NE(game.window(), nullptr);
  EXPECT_TRUE(IsWindow(game.window()));
  int found = 0;
  EXPECT_TRUE(EnumWindows(
      [](HWND hwnd, LPARAM context) -> BOOL {
        *reinterpret_cast<int*>(context) += hwnd != nullptr;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found)));
  EXPECT_GE(found, 1);
}

}  // namespace
