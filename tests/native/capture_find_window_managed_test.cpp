// The window search on a desktop with many windows under a window manager (openbox): the right window among a
// hundred others, and the answers EnumWindows' callbacks get from its snapshot are those the live calls give.
#include "x11_test_support.h"

#include <filesystem>
#include <tuple>

#include "game_screenshoter/find_game_window.h"
#include "platform/linux/base/wide.h"

namespace {

using x11_test::WindowProcess;

class ManagedSearch : public x11_test::X11Suite<x11_test::ManagedTwoMonitors> {
 protected:
  void SetUp() override {
    X11Suite::SetUp();
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr);
    install_ = std::filesystem::temp_directory_path() / ("quorvel-managed-search-" + std::to_string(getpid()));
    std::filesystem::create_directories(install_);
    std::filesystem::copy_file(x11_test::FixtureProgram(), install_ / "game.bin",
                               std::filesystem::copy_options::overwrite_existing);
  }
  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
    std::error_code ignored;
    std::filesystem::remove_all(install_, ignored);
  }

  // `count` mapped windows of this process, above every window made before; back once the manager keeps them all.
  void Others(int count) {
    std::vector<unsigned long> made;
    for (int i = 0; i < count; ++i) {
      const Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 20 * (i % 40), 10 * (i % 40), 200,
                                           150, 0, 0, 0x808080);
      XMapWindow(display_, w);
      made.push_back(w);
    }
    XSync(display_, False);
    ASSERT_TRUE(x11_test::Eventually([&] {
      const auto clients = x11_test::ManagedClients(display_);
      return std::all_of(made.begin(), made.end(), [&](unsigned long w) {
        return std::find(clients.begin(), clients.end(), w) != clients.end();
      });
    }));
  }
  std::unique_ptr<WindowProcess> Game(std::vector<std::string> options) {
    auto game = std::make_unique<WindowProcess>(options, (install_ / "game.bin").string());
    EXPECT_NE(game->window(), nullptr);
    return game;
  }
  std::wstring Install() const { return quorvel::platform::Utf8ToWide(install_.string()); }

  Display* display_ = nullptr;
  std::filesystem::path install_;
};

TEST_F(ManagedSearch, TheHighestMatchingWindowAmongAHundredOthersAndNeverAMinimisedOne) {
  const auto minimised = Game({"--minimized"});
  Others(50);
  EXPECT_EQ(FindWindowByInstallPath(Install()), nullptr) << "its only window is minimised";
  const auto lower = Game({"--pos", "300,300"});
  Others(25);
  const auto upper = Game({"--pos", "350,350"});
  Others(25);
  EXPECT_EQ(FindWindowByInstallPath(Install()), upper->window()) << "the higher of two, below 25 others";
  EXPECT_EQ(FindGameWindow(Install(), 0), reinterpret_cast<std::uintptr_t>(upper->window()));
  EXPECT_EQ(FindWindowByInstallPath(L"/no/such/install"), nullptr);
}

// What one window's functions answer, with each one's last error.
using Answers = std::tuple<BOOL, BOOL, HWND, DWORD, LONG, LONG, DWORD, DWORD, DWORD>;
Answers Ask(HWND hwnd) {
  SetLastError(0);
  const BOOL visible = IsWindowVisible(hwnd);
  const BOOL iconic = IsIconic(hwnd);
  const HWND parent = GetParent(hwnd);
  const DWORD parent_error = GetLastError();
  RECT client{-1, -1, -1, -1};
  GetClientRect(hwnd, &client);
  DWORD pid = 7;
  SetLastError(0);
  const DWORD thread = GetWindowThreadProcessId(hwnd, &pid);
  return {visible, iconic, parent, parent_error, client.right, client.bottom, pid, thread, GetLastError()};
}

TEST_F(ManagedSearch, EnumerationCallbacksGetTheLiveAnswersAndSeeChangesMadeMeanwhile) {
  const auto minimised = Game({"--minimized", "--size", "120x90"});
  const auto owner = Game({"--owned", "--child", "--no-pid", "--size", "300x200"});
  const auto unmapped = Game({"--unmapped"});
  Others(20);
  struct Seen {
    std::vector<HWND> windows;
    std::vector<Answers> answers;
  } seen;
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Seen*>(param);
        s->windows.push_back(hwnd);
        s->answers.push_back(Ask(hwnd));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&seen));
  const std::vector<HWND> ours = {minimised->window(), owner->window(), owner->window("popup"), unmapped->window()};
  for (HWND w : ours) EXPECT_NE(std::find(seen.windows.begin(), seen.windows.end(), w), seen.windows.end());
  for (std::size_t i = 0; i < seen.windows.size(); ++i) {
    EXPECT_EQ(seen.answers[i], Ask(seen.windows[i])) << "window " << seen.windows[i];
  }

  // A window minimised from inside the callback is seen minimised by the next question.
  std::pair<HWND, std::vector<BOOL>> change{owner->window(), {}};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* c = reinterpret_cast<std::pair<HWND, std::vector<BOOL>>*>(param);
        if (hwnd != c->first) return TRUE;
        c->second.push_back(IsIconic(hwnd));
        ShowWindow(hwnd, SW_MINIMIZE);
        c->second.push_back(IsIconic(hwnd));
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&change));
  EXPECT_EQ(change.second, (std::vector<BOOL>{FALSE, TRUE}));
}

}  // namespace
