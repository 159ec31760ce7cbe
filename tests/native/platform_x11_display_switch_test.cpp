// $DISPLAY names another server for a while: the working connection stays as it is while the new one cannot be
// opened, and a display name in any form Xlib accepts (an IPv6 address in brackets) is reached.
#include "x11_test_support.h"

#include <filesystem>

#include "game_screenshoter/find_game_window.h"
#include "platform/linux/display/x11_display.h"

namespace {

namespace x11 = quorvel::platform::x11;
using Clock = std::chrono::steady_clock;
using x11_test::WindowProcess;
const std::wstring kInstall = std::filesystem::path(x11_test::FixtureProgram()).parent_path().wstring();

std::uint64_t Id(const WindowProcess& w) { return reinterpret_cast<std::uintptr_t>(w.window()); }

class DisplaySwitch : public x11_test::X11Suite<x11_test::OneMonitor> {
 protected:
  void SetUp() override {
    X11Suite::SetUp();
    signal(SIGPIPE, SIG_IGN);
  }
};

TEST_F(DisplaySwitch, ASilentServerInBetweenLeavesTheWorkingConnectionAsItWas) {
  WindowProcess game({});
  ASSERT_EQ(FindGameWindow(kInstall, 0), Id(game));
  unsigned long generation = 0;
  {
    x11::Session session;
    ASSERT_TRUE(session.alive());
    generation = session.generation();
  }
  // Answers the probe of its first connection by closing it, then takes the next and says nothing: XOpenDisplay
  // waits there until the deadline, with no other call running whose session would keep the watchdog's clock fresh.
  const std::string number = std::to_string(x11_test::OwnDisplayNumber());
  const int listener = x11_test::SilentDisplay(x11_test::OwnDisplayNumber());
  ASSERT_GE(listener, 0);
  std::thread answering([&] {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    const int first = accept(listener, nullptr, nullptr);
    char setup[12];
    recv(first, setup, sizeof setup, MSG_WAITALL);
    close(first);
  });
  setenv("DISPLAY", (":" + number).c_str(), 1);
  EXPECT_EQ(FindGameWindow(kInstall, 0), 0u);
  answering.join();
  setenv("DISPLAY", server_->display().c_str(), 1);
  {
    x11::Session session;
    EXPECT_TRUE(session.alive());
    EXPECT_EQ(session.generation(), generation) << "the working connection was ended and replaced";
  }
  EXPECT_EQ(FindGameWindow(kInstall, 0), Id(game));
  close(listener);
}

TEST(DisplayName, AnIpv6AddressInBracketsIsReached) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  pid_t xvfb = x11_test::Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "320x240x24", "-listen", "tcp", "-ac",
                                "-noreset"},
                               "", fds[1]);
  close(fds[1]);
  const auto lines = x11_test::ReadLines(fds[0], "", 10000);
  close(fds[0]);
  ASSERT_FALSE(lines.empty() || lines[0].empty());
  setenv("DISPLAY", (":" + lines[0]).c_str(), 1);
  {
    WindowProcess game({});
    ASSERT_NE(game.window(), nullptr);
    Display* direct = XOpenDisplay(("[::1]:" + lines[0]).c_str());
    if (direct == nullptr) {
      x11_test::Stop(xvfb);
      GTEST_SKIP() << "no X server reachable over IPv6 here";
    }
    XCloseDisplay(direct);
    setenv("DISPLAY", ("[::1]:" + lines[0]).c_str(), 1);
    EXPECT_TRUE(x11::Available());
    EXPECT_EQ(FindGameWindow(kInstall, 0), Id(game));
    setenv("DISPLAY", (":" + lines[0]).c_str(), 1);
  }
  x11_test::Stop(xvfb);
}

}  // namespace
