// A private X server per test process: Xvfb on a free display number (-displayfd), RandR monitors laid out as a
// test asks, optionally a window manager (openbox as the tests configure it, or twm or metacity as they come); and
// the stand-in game window program run as a real client.
// Tests derive their fixture from X11Suite<Layout>, which starts the server once per test suite and points
// $DISPLAY at it (gtest_discover_tests runs each test in a process of its own, so every test gets a clean server).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32.h"

// After gtest and the platform: Xlib's macros (None, Bool, Status...) must not reach their headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

namespace x11_test {

struct MonitorSpec {
  const char* name;
  int x, y, width, height, mm_width, mm_height;
};

// The window managers a server can run. openbox with the tests' settings (OpenboxConfig); twm and metacity with
// their defaults: twm without EWMH, metacity with invisible resize borders around its frames.
enum class Manager { kOpenbox, kTwm, kMetacity };

struct Layout {
  int width = 1920;
  int height = 1080;
  std::vector<MonitorSpec> monitors;  // empty: the server's own single monitor
  bool window_manager = false;
  // 0: a free number the server picks. A test that kills its server and then expects calls to fail names a number
  // of its own (OwnDisplayNumber), which no other test's server can take meanwhile.
  int display_number = 0;
  Manager manager = Manager::kOpenbox;  // the one run when window_manager is set
};

// A display number for this test process alone: far above those servers pick, and different for every process.
// A process that needs a second one asks for `which` 1: a number of its own too, never another process's first.
inline int OwnDisplayNumber(int which = 0) { return 30000 * (1 + which) + getpid() % 30000; }

// A listening socket at display `number`'s abstract name (which Xlib tries first) that never says a word: a wedged
// server. -1 when it cannot be made.
inline int SilentDisplay(int number) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  std::copy(path.begin(), path.end(), address.sun_path + 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + 1 + path.size()) != 0 ||
      listen(listener, 64) != 0) {
    close(listener);
    return -1;
  }
  return listener;
}

// Two 1920x1080 monitors side by side; the right one has twice the pixel density (192 DPI).
inline Layout SideBySide(bool window_manager = false) {
  Layout layout;
  layout.width = 3840;
  layout.height = 1080;
  layout.monitors = {{"LEFT", 0, 0, 1920, 1080, 508, 286}, {"RIGHT", 1920, 0, 1920, 1080, 254, 143}};
  layout.window_manager = window_manager;
  return layout;
}

// The layouts the suites run on (X11Suite's argument), each made once.
inline const Layout& OneMonitor() {
  static const Layout layout;
  return layout;
}
inline const Layout& TwoMonitors() {
  static const Layout layout = SideBySide();
  return layout;
}
inline const Layout& ManagedTwoMonitors() {
  static const Layout layout = SideBySide(true);
  return layout;
}

// The handle of the RandR monitor `name` on $DISPLAY: its name atom.
inline HMONITOR MonitorNamed(const char* name) {
  Display* d = XOpenDisplay(nullptr);
  const Atom atom = XInternAtom(d, name, True);
  XCloseDisplay(d);
  return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(atom));
}

// Starts a helper program with its output discarded; `fd3`, when given, becomes its descriptor 3; `environment`
// adds variables to its environment.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& display, int fd3 = -1,
                   const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: dies with the test, so a crashed test leaves no server behind.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  if (fd3 >= 0) dup2(fd3, 3);  // dup2 leaves the copy inheritable
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  execvp(argv[0], argv.data());
  _exit(127);
}

inline void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

// Reads lines from `fd` until `last` (or end, or the deadline); the lines read.
inline std::vector<std::string> ReadLines(int fd, const std::string& last, int timeout_ms = 10000) {
  std::vector<std::string> lines;
  std::string pending;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      lines.push_back(pending.substr(0, eol));
      pending.erase(0, eol + 1);
      if (lines.back() == last) return lines;
    }
  }
  if (!pending.empty()) lines.push_back(pending);
  return lines;
}

// Openbox as the tests need it: no focus given to new windows a moment after they map, which would race with the
// activation a test asks for, and no iconify animation, so a restored window has its place at once.
inline std::string OpenboxConfig() {
  struct File {
    std::string path;
    File() {
      char name[] = "/tmp/quorvel-openbox-XXXXXX.xml";
      const int fd = mkstemps(name, 4);
      if (fd < 0) return;
      static const char kRc[] =
          "<openbox_config xmlns=\"http://openbox.org/3.4/rc\"><focus><focusNew>no</focusNew></focus>"
          "<theme><animateIconify>no</animateIconify></theme></openbox_config>";
      const bool written = write(fd, kRc, sizeof kRc - 1) == static_cast<ssize_t>(sizeof kRc - 1);
      close(fd);
      if (written) path = name; else unlink(name);
    }
    ~File() {
      if (!path.empty()) unlink(path.c_str());
    }
  };
  static const File file;
  return file.path;
}

// The clients the window manager keeps (_NET_CLIENT_LIST); empty without one.
inline std::vector<unsigned long> ManagedClients(Display* d) {
  std::vector<unsigned long> clients;
  Atom type;
  int format;
  unsigned long count, rest;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), 0, 1 << 16, False,
                         XA_WINDOW, &type, &format, &count, &rest, &data) == Success &&
      data != nullptr && format == 32) {
    const auto* ids = reinterpret_cast<const unsigned long*>(data);
    clients.assign(ids, ids + count);
  }
  if (data != nullptr) XFree(data);
  return clients;
}

// Openbox lets go of a window by its id, and X hands a new client the id range of one that has ended, so the next
// window program's first window often gets the id of the last one's. Requests the manager makes on a window it lets
// go of (moving it back to where it first asked to be, clearing its state) then land on the new window if they come
// late, and it starts with the old one's size and place. So once a client has ended, a test waits until the manager
// is done with its windows: until they have left _NET_CLIENT_LIST, then for its answer to a request sent after that,
// which it gives only once it has handled everything before. No window manager: nothing to wait for.
inline bool AwaitLetGo(Display* d, const std::vector<unsigned long>& windows) {
  // The manager holds WM_S0 while it runs (ICCCM); the selection falls back to None when it dies.
  if (XGetSelectionOwner(d, XInternAtom(d, "WM_S0", False)) == None) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto held = [&] {
    const auto clients = ManagedClients(d);
    for (unsigned long w : windows) {
      if (std::find(clients.begin(), clients.end(), w) != clients.end()) return true;
    }
    return false;
  };
  while (held()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // _NET_REQUEST_FRAME_EXTENTS: the manager answers by setting _NET_FRAME_EXTENTS on the (unmapped) asking window.
  const Window asking = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom extents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = asking;
  request.xclient.message_type = XInternAtom(d, "_NET_REQUEST_FRAME_EXTENTS", False);
  request.xclient.format = 32;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &request);
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    Atom type;
    int format;
    unsigned long count, rest;
    unsigned char* data = nullptr;
    answered = XGetWindowProperty(d, asking, extents, 0, 4, False, AnyPropertyType, &type, &format, &count, &rest,
                                  &data) == Success && count > 0;
    if (data != nullptr) XFree(data);
    if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  XDestroyWindow(d, asking);
  XSync(d, False);
  return answered;
}

// Displays whose server this process killed. Their numbers are soon another server's, maybe one of a test running
// beside this one, which a connection made to it would find gone under it when that test ends: Xlib then exits.
inline std::vector<std::string>& KilledDisplays() {
  static std::vector<std::string> names;
  return names;
}

// The same on a connection of its own to $DISPLAY; nothing to wait for when the server is gone.
inline bool AwaitLetGo(const std::vector<unsigned long>& windows) {
  const char* name = std::getenv("DISPLAY");
  const auto& killed = KilledDisplays();
  if (name == nullptr || std::find(killed.begin(), killed.end(), name) != killed.end()) return true;
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return true;
  const bool done = AwaitLetGo(d, windows);
  XCloseDisplay(d);
  return done;
}

class Server {
 public:
  explicit Server(const Layout& layout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const std::string screen = std::to_string(layout.width) + "x" + std::to_string(layout.height) + "x24";
    // Without -noreset the server resets (dropping RandR monitors) whenever its last client leaves.
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
    if (layout.display_number != 0) args.insert(args.begin() + 1, ":" + std::to_string(layout.display_number));
    xvfb_ = Spawn(args, "", fds[1]);
    close(fds[1]);
    const auto lines = ReadLines(fds[0], "", 10000);
    close(fds[0]);
    if (lines.empty() || lines[0].empty()) return;
    display_ = ":" + lines[0];
    auto& killed = KilledDisplays();
    killed.erase(std::remove(killed.begin(), killed.end(), display_), killed.end());
    if (!layout.monitors.empty() && !SetMonitors(layout.monitors)) display_.clear();
    if (!display_.empty() && layout.window_manager) {
      if (!StartWindowManager(layout.manager) || !AwaitWindowManager()) display_.clear();
    }
  }
  ~Server() {
    CloseProbeConnection();
    Stop(wm_);
    Stop(bus_);
    Stop(xvfb_);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Empty when the server could not be started.
  const std::string& display() const { return display_; }
  // The server process, for a test that stops and continues it.
  pid_t pid() const { return xvfb_; }
  // The window manager's process; -1 without one.
  pid_t window_manager_pid() const { return wm_; }
  // Ends the server as a crash would, under its clients' feet.
  void Kill() {
    CloseProbeConnection();
    if (!display_.empty()) KilledDisplays().push_back(display_);
    if (xvfb_ > 0) kill(xvfb_, SIGKILL);
    Stop(xvfb_);
  }

 private:
  bool SetMonitors(const std::vector<MonitorSpec>& monitors) {
    Display* d = XOpenDisplay(display_.c_str());
    if (d == nullptr) return false;
    const Window root = DefaultRootWindow(d);
    XRRScreenResources* resources = XRRGetScreenResources(d, root);
    for (std::size_t i = 0; i < monitors.size(); ++i) {
      // The first monitor takes the server's one output, which retires the monitor the server made for it.
      const bool with_output = i == 0 && resources != nullptr && resources->noutput > 0;
      XRRMonitorInfo* m = XRRAllocateMonitor(d, with_output ? 1 : 0);
      m->name = XInternAtom(d, monitors[i].name, False);
      m->x = monitors[i].x;
      m->y = monitors[i].y;
      m->width = monitors[i].width;
      m->height = monitors[i].height;
      m->mwidth = monitors[i].mm_width;
      m->mheight = monitors[i].mm_height;
      if (with_output) m->outputs[0] = resources->outputs[0];
      XRRSetMonitor(d, root, m);
      XRRFreeMonitors(m);
    }
    if (resources != nullptr) XRRFreeScreenResources(resources);
    int count = 0;
    XRRMonitorInfo* listed = XRRGetMonitors(d, root, True, &count);
    if (listed != nullptr) XRRFreeMonitors(listed);
    XCloseDisplay(d);
    return count == static_cast<int>(monitors.size());
  }

  bool StartWindowManager(Manager manager) {
    switch (manager) {
      case Manager::kOpenbox:
        wm_ = Spawn({"openbox", "--sm-disable", "--config-file", OpenboxConfig()}, display_);
        return true;
      case Manager::kTwm:
        wm_ = Spawn({"twm"}, display_);
        return true;
      case Manager::kMetacity: {
        // A session bus of its own, as dbus-run-session would give it, but a child of the test like the server
        // itself, so that it ends with the test even when the test dies. The in-memory settings backend keeps
        // metacity's defaults whatever the user's settings say; without the accessibility bridge no further bus
        // is started.
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        bus_ = Spawn({"dbus-daemon", "--session", "--nofork", "--print-address=3"}, "", fds[1]);
        close(fds[1]);
        const auto lines = ReadLines(fds[0], "", 10000);
        close(fds[0]);
        if (lines.empty() || lines[0].empty()) return false;
        wm_ = Spawn({"metacity"}, display_, -1,
                    {{"DBUS_SESSION_BUS_ADDRESS", lines[0]}, {"GSETTINGS_BACKEND", "memory"}, {"NO_AT_BRIDGE", "1"}});
        return true;
      }
    }
    return false;
  }

  // Ready when it manages a window (sets its WM_STATE).
  bool AwaitWindowManager() {
    Display* d = XOpenDisplay(display_.c_str());
    if (d == nullptr) return false;
    const Atom wm_state = XInternAtom(d, "WM_STATE", False);
    const Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
    // Placed where it is: twm lets the user place a window that names no position, waiting for a click.
    XSizeHints size{};
    size.flags = USPosition | USSize;
    size.width = size.height = 10;
    XSetWMNormalHints(d, probe, &size);
    XMapWindow(d, probe);
    bool ready = false;
    for (int i = 0; i < 1000 && !ready; ++i) {
      Atom type;
      int format;
      unsigned long count, rest;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(d, probe, wm_state, 0, 2, False, wm_state, &type, &format, &count, &rest, &data) ==
              Success &&
          count > 0) {
        ready = true;
      }
      if (data != nullptr) XFree(data);
      if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      // A map request that reaches the manager while it starts can be lost (the window stays unmapped): ask again.
      if (!ready && i % 50 == 49) XMapWindow(d, probe);
    }
    XDestroyWindow(d, probe);
    if (ready) ready = AwaitLetGo(d, {probe});
    // A manager without EWMH gives nothing to wait for, and a request it takes late (a map request asked again
    // above) would land on whatever window gets the probe's id next: a test's first one, once this connection has
    // ended. Kept open, the connection keeps its ids to itself.
    XSync(d, False);
    probe_connection_ = d;
    return ready;
  }
  void CloseProbeConnection() {
    if (probe_connection_ != nullptr) XCloseDisplay(probe_connection_);
    probe_connection_ = nullptr;
  }

  pid_t xvfb_ = -1;
  pid_t wm_ = -1;
  pid_t bus_ = -1;
  Display* probe_connection_ = nullptr;
  std::string display_;
};

inline std::string FixtureProgram() { return QUORVEL_X11_WINDOW_FIXTURE; }

// One run of the stand-in game window program. The executable can be copied to `install_dir` first.
class WindowProcess {
 public:
  explicit WindowProcess(const std::vector<std::string>& options, const std::string& executable = FixtureProgram()) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> args{executable};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      dup2(fds[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    for (const auto& line : ReadLines(fds[0], "ready")) {
      std::istringstream in(line);
      std::string key;
      unsigned long id = 0;
      if (in >> key >> id) ids_[key] = id;
    }
    close(fds[0]);
  }
  ~WindowProcess() { Kill(); }
  WindowProcess(const WindowProcess&) = delete;
  WindowProcess& operator=(const WindowProcess&) = delete;

  pid_t pid() const { return pid_; }
  HWND window(const std::string& key = "window") const {
    auto it = ids_.find(key);
    return it == ids_.end() ? nullptr : reinterpret_cast<HWND>(static_cast<std::uintptr_t>(it->second));
  }
  // Returns once the window manager, if one runs, is done with the program's windows (see AwaitLetGo).
  void Kill() {
    if (pid_ <= 0) return;
    Stop(pid_);
    std::vector<unsigned long> windows;
    for (const auto& [key, id] : ids_) windows.push_back(id);
    if (!AwaitLetGo(windows)) ADD_FAILURE() << "the window manager did not let go of an ended program's windows";
  }

 private:
  pid_t pid_ = -1;
  std::map<std::string, unsigned long> ids_;
};

template <const Layout& (*MakeLayout)()>
class X11Suite : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    server_ = new Server(MakeLayout());
    if (!server_->display().empty()) setenv("DISPLAY", server_->display().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

 protected:
  void SetUp() override { ASSERT_FALSE(server_->display().empty()) << "no private X server"; }
  static Server* server_;
};
template <const Layout& (*MakeLayout)()>
Server* X11Suite<MakeLayout>::server_ = nullptr;

// Polls `done` for up to ten seconds (the window manager and the server answer asynchronously).
template <typename Predicate>
bool Eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace x11_test
