// The window search and the capture's rectangle under the common kinds of window manager, each as it comes: none,
// twm (reparenting, no EWMH), metacity (EWMH, invisible resize borders around its frames) and openbox. One server
// per manager, shared by its cases.
#include "x11_test_support.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "game_screenshoter/find_game_window.h"
#include "game_screenshoter/window_capture.h"
#include "platform/linux/base/wide.h"

namespace {

using x11_test::Manager;
using x11_test::WindowProcess;

struct Desktop {
  const char* name;
  bool managed;
  Manager manager;
  // The game, asked for at (200,150) and 320x240: the rectangle the capture reports (`area`, in desktop pixels), and
  // the window rectangle, which keeps any invisible borders of the frame as on Windows.
  RECT area;
  RECT window_rect;
};

// Debian's default themes. metacity: the client at (200,187) below a 37-pixel title bar, the frame window reaching
// 23-29 pixels beyond that on every side (its invisible borders). twm: a 2-pixel border around the frame, the client
// below a 27-pixel title bar.
const Desktop kDesktops[] = {
    {"none", false, Manager::kOpenbox, {200, 150, 520, 390}, {200, 150, 520, 390}},
    {"twm", true, Manager::kTwm, {200, 150, 524, 421}, {200, 150, 524, 421}},
    {"metacity", true, Manager::kMetacity, {200, 150, 520, 427}, {174, 127, 546, 456}},
    {"openbox", true, Manager::kOpenbox, {200, 150, 522, 415}, {200, 150, 522, 415}},
};

void PrintTo(const Desktop& desktop, std::ostream* out) { *out << desktop.name; }

class OtherManagers : public ::testing::TestWithParam<Desktop> {
 public:
  static void TearDownTestSuite() { servers_.clear(); }

  // The cases, each on the manager's server.
  void SearchJudgesEachClientByItsOwnProcess();
  void AreaIsTheVisibleFrame();
  void ExtentsCountOnlyOnAManagedClientAndWhenSane();
  void ManagersOwnWindowsAreNoApplicationsWindows();

 protected:
  void SetUp() override {
    auto& server = servers_[GetParam().name];
    if (!server) {
      x11_test::Layout layout;
      layout.width = 1280;
      layout.height = 720;
      layout.window_manager = GetParam().managed;
      layout.manager = GetParam().manager;
      server = std::make_unique<x11_test::Server>(layout);
    }
    ASSERT_FALSE(server->display().empty()) << "no private X server under " << GetParam().name;
    setenv("DISPLAY", server->display().c_str(), 1);
    install_ = std::filesystem::temp_directory_path() / ("quorvel-other-managers-" + std::to_string(getpid()));
    std::filesystem::create_directories(install_);
    std::filesystem::copy_file(x11_test::FixtureProgram(), install_ / "game.bin",
                               std::filesystem::copy_options::overwrite_existing);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(install_, ignored);
  }

  std::string Game() const { return (install_ / "game.bin").string(); }
  std::wstring Install() const { return quorvel::platform::Utf8ToWide(install_.string()); }

  std::filesystem::path install_;
  static std::map<std::string, std::unique_ptr<x11_test::Server>> servers_;
};
std::map<std::string, std::unique_ptr<x11_test::Server>> OtherManagers::servers_;

std::vector<HWND> Enumerated() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// The X parent of `window` that is a child of the root: its frame, or the window itself.
HWND RootChild(HWND window) {
  Display* d = XOpenDisplay(nullptr);
  auto current = static_cast<Window>(reinterpret_cast<std::uintptr_t>(window));
  while (d != nullptr) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, current, &root, &parent, &children, &count)) break;
    if (children != nullptr) XFree(children);
    if (parent == root) break;
    current = parent;
  }
  if (d != nullptr) XCloseDisplay(d);
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(current));
}

// Of two top-level windows, the one whose root child is higher in the stacking order.
HWND Higher(HWND a, HWND b) {
  const HWND frame_a = RootChild(a), frame_b = RootChild(b);
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return nullptr;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  HWND higher = nullptr;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) {
    for (unsigned int i = 0; i < count; ++i) {  // bottom first
      const auto child = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(children[i]));
      if (child == frame_a) higher = a;
      if (child == frame_b) higher = b;
    }
  }
  if (children != nullptr) XFree(children);
  XCloseDisplay(d);
  return higher;
}

void OtherManagers::SearchJudgesEachClientByItsOwnProcess() {
  WindowProcess game({"--pos", "200,150", "--size", "320x240"}, Game());
  WindowProcess other({"--pos", "300,200", "--size", "320x240"});  // above the game, another install
  ASSERT_NE(game.window(), nullptr);
  ASSERT_NE(other.window(), nullptr);
  EXPECT_EQ(FindWindowByInstallPath(Install()), game.window()) << "below a window of another process";
  // Whether a manager puts a new window that is not given the focus on top is its own choice: the stacking decides.
  HWND top = nullptr, found = nullptr;
  for (int attempt = 0; attempt < 5 && (top == nullptr || top != Higher(game.window(), other.window())); ++attempt) {
    top = Higher(game.window(), other.window());
    found = FindWindowByInstallPath(L"");
  }
  EXPECT_EQ(found, top) << "every path matches: the higher client";
  const std::vector<HWND> windows = Enumerated();
  for (HWND client : {game.window(), other.window()}) {
    EXPECT_EQ(std::count(windows.begin(), windows.end(), client), 1) << "the client is enumerated";
    const HWND frame = RootChild(client);
    if (frame != client) EXPECT_EQ(std::count(windows.begin(), windows.end(), frame), 0) << "and not its frame";
  }
}

void OtherManagers::ManagersOwnWindowsAreNoApplicationsWindows() {
  // Minimised, the game leaves the screen to the manager's own windows (twm shows an icon for it).
  WindowProcess game({"--pos", "200,150", "--size", "320x240", "--minimized"}, Game());
  ASSERT_NE(game.window(), nullptr);
  const pid_t manager = servers_[GetParam().name]->window_manager_pid();
  ASSERT_TRUE(x11_test::Eventually([&] { return !GetParam().managed || IsIconic(game.window()); }));
  for (HWND window : Enumerated()) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    // twm's icon manager is a client of its own, withdrawn.
    EXPECT_FALSE(IsWindowVisible(window) && static_cast<pid_t>(pid) == manager) << "enumerated: " << window;
  }
  EXPECT_EQ(FindWindowByInstallPath(L""), GetParam().managed ? nullptr : game.window())
      << "nothing but the game, shown where no manager minimises it";
}

void OtherManagers::AreaIsTheVisibleFrame() {
  WindowProcess game({"--pos", "200,150", "--size", "320x240"}, Game());
  ASSERT_NE(game.window(), nullptr);
  const std::optional<WindowRects> rects = GetWindowRects(game.window());
  ASSERT_TRUE(rects.has_value());
  const RECT& area = rects->window_rect;
  const RECT& want = GetParam().area;
  EXPECT_TRUE(area.left == want.left && area.top == want.top && area.right == want.right &&
              area.bottom == want.bottom)
      << "area (" << area.left << "," << area.top << "," << area.right << "," << area.bottom << ")";
  RECT outer{};
  ASSERT_TRUE(GetWindowRect(game.window(), &outer));
  const RECT& whole = GetParam().window_rect;
  EXPECT_TRUE(outer.left == whole.left && outer.top == whole.top && outer.right == whole.right &&
              outer.bottom == whole.bottom)
      << "window rectangle (" << outer.left << "," << outer.top << "," << outer.right << "," << outer.bottom << ")";
}

void OtherManagers::ExtentsCountOnlyOnAManagedClientAndWhenSane() {
  // A window at (600,400), 100x80, with the properties a manager sets (or a withdrawn window keeps, or a hostile
  // client writes); no manager looks at it, as it is never mapped.
  struct Case {
    long state;  // WM_STATE; -1: none
    unsigned long extents[4];
    RECT area;
  };
  const Case cases[] = {
      {-1, {10, 10, 30, 10}, {600, 400, 700, 480}},                    // withdrawn: WM_STATE gone
      {0, {10, 10, 30, 10}, {600, 400, 700, 480}},                     // withdrawn: WM_STATE says so
      {1, {10, 10, 30, 10}, {590, 370, 710, 490}},                     // managed without a frame of its own
      {1, {0xFFFFFFFF, 0, 0x80000000, 0}, {600, 400, 700, 480}},       // no frame is that wide
  };
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  for (const Case& c : cases) {
    const Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 600, 400, 100, 80, 0, 0, 0);
    const long extents[4] = {static_cast<long>(c.extents[0]), static_cast<long>(c.extents[1]),
                             static_cast<long>(c.extents[2]), static_cast<long>(c.extents[3])};
    XChangeProperty(d, window, XInternAtom(d, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(extents), 4);
    if (c.state >= 0) {
      const Atom wm_state = XInternAtom(d, "WM_STATE", False);
      const long value[2] = {c.state, 0};
      XChangeProperty(d, window, wm_state, wm_state, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(value), 2);
    }
    XSync(d, False);
    const HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
    const std::optional<WindowRects> rects = GetWindowRects(hwnd);
    ASSERT_TRUE(rects.has_value());
    const RECT& area = rects->window_rect;
    EXPECT_TRUE(area.left == c.area.left && area.top == c.area.top && area.right == c.area.right &&
                area.bottom == c.area.bottom)
        << "WM_STATE " << c.state << ", left extent " << c.extents[0] << ": area (" << area.left << "," << area.top
        << "," << area.right << "," << area.bottom << ")";
    XDestroyWindow(d, window);
  }
  XCloseDisplay(d);
}

// One test per manager, so that its cases share one server however the tests are run.
TEST_P(OtherManagers, SearchAndArea) {
  const std::pair<const char*, void (OtherManagers::*)()> cases[] = {
      {"the search judges each client by its own process, never a frame",
       &OtherManagers::SearchJudgesEachClientByItsOwnProcess},
      {"the area is the visible frame, the window rectangle the whole frame", &OtherManagers::AreaIsTheVisibleFrame},
      {"frame extents count only on a managed client, and only when sane",
       &OtherManagers::ExtentsCountOnlyOnAManagedClientAndWhenSane},
      {"the manager's own windows are no application's", &OtherManagers::ManagersOwnWindowsAreNoApplicationsWindows},
  };
  for (const auto& [name, run] : cases) {
    SCOPED_TRACE(name);
    (this->*run)();
  }
}

INSTANTIATE_TEST_SUITE_P(Desktops, OtherManagers, ::testing::ValuesIn(kDesktops),
                         [](const ::testing::TestParamInfo<Desktop>& info) { return std::string(info.param.name); });

}  // namespace
