// What the window, process and monitor functions share: the X side of an HWND and the rules that map X's window
// tree onto Win32's notions.
//
// - A top-level window is a client window in the ICCCM sense: a child of the root, or a window that a window
//   manager has reparented into its frame (it carries WM_STATE). A root child without WM_STATE that holds such a
//   client is a frame and stands for the client inside it. Every other window is a child window.
// - Window manager: one that announces itself through _NET_SUPPORTING_WM_CHECK. With one, state changes are asked
//   of it (EWMH/ICCCM messages) and awaited for a bounded time, so that a call returns with the change made, as
//   on Windows; without one, plain Xlib requests do what they can (there is no minimised state then).
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/display/win32_windows.h"
#include "platform/linux/display/x11_display.h"

namespace quorvel::platform::x11 {

inline constexpr long kWithdrawnState = 0;
inline constexpr long kNormalState = 1;
inline constexpr long kIconicState = 3;

// 0 when the value cannot name an X window (X ids have 29 bits).
::Window ToXWindow(HWND hwnd);
inline HWND ToHwnd(::Window window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }

bool Attributes(Session& session, ::Window window, XWindowAttributes& attributes);

// What one round trip tells of a window: the requests asked for are sent together and their replies awaited once.
struct WindowFacts {
  ::Window parent = 0;             // kTree
  std::vector<::Window> children;  // kTree, bottom of the stacking order first
  long wm_state = -1;              // kWmState: WM_STATE's state, -1 when the window has none
  int x = 0, y = 0;                // kGeometry: the outer corner, relative to the parent
  int width = 0, height = 0, border = 0;
  int root_x = 0, root_y = 0;      // kRootOrigin: the inner corner in root coordinates
  std::vector<Atom> net_state;     // kNetState: _NET_WM_STATE's atoms
  ::Window wm_check = 0;           // kWmCheck: _NET_SUPPORTING_WM_CHECK's window, 0 when none
  ::Window transient_for = 0;      // kTransientFor: WM_TRANSIENT_FOR's window, 0 when none
  int map_state = 0;               // kAttributes: IsUnmapped, IsUnviewable or IsViewable
  int window_class = 0;            // kAttributes: InputOutput or InputOnly
  unsigned long all_event_masks = 0;  // kAttributes: the events every client selected on the window
  std::vector<::Window> client_list;  // kClientList: _NET_CLIENT_LIST's windows (asked of the root)
  unsigned long wm_pid = 0;        // kWmPid: _NET_WM_PID, 0 when none
  std::vector<unsigned long> frame_extents;  // kFrameExtents: _NET_FRAME_EXTENTS (left, right, top, bottom), or none
};
enum : unsigned {
  kTree = 1,
  kWmState = 2,
  kGeometry = 4,
  kRootOrigin = 8,
  kNetState = 16,
  kWmCheck = 32,
  kTransientFor = 64,
  kAttributes = 128,
  kClientList = 256,
  kWmPid = 512,
  kFrameExtents = 1024,
};
// False when the window does not exist or the server cannot be asked; `facts` is then unspecified.
bool AskWindow(Session& session, ::Window window, unsigned what, WindowFacts& facts);
// The same for several windows in one round trip: whether each answered, its facts in `facts`.
std::vector<bool> AskWindows(Session& session, const std::vector<::Window>& windows, unsigned what,
                             std::vector<WindowFacts>& facts);
// The same with a question of its own for each window. `meanwhile` runs once every request is sent and before the
// first reply is awaited: a request it makes there (through Xlib) shares the round trip.
struct Question {
  ::Window window;
  unsigned what;
};
std::vector<bool> AskWindows(Session& session, const std::vector<Question>& questions,
                             std::vector<WindowFacts>& facts, const std::function<void()>& meanwhile = {});
// The window's parent, 0 when it does not exist.
::Window ParentOf(Session& session, ::Window window);
// Root children, bottom of the stacking order first.
std::vector<::Window> RootChildren(Session& session);

// 32-bit property values (CARDINAL, WINDOW, ATOM); empty when the window has no such property.
std::vector<unsigned long> LongProperty(Session& session, ::Window window, const char* property, Atom type);

// What the root says of the desktop, with the input focus, in one round trip.
struct DesktopFacts {
  ::Window wm_check = 0;  // _NET_SUPPORTING_WM_CHECK, 0 when none
  ::Window active = 0;    // _NET_ACTIVE_WINDOW, 0 when none
  ::Window focus = 0;     // the focus window: also None (0) or PointerRoot (1)
};
bool AskDesktop(Session& session, DesktopFacts& facts);

bool WindowManagerRunning(Session& session);
// The same, with what `facts` already tells of the root (kWmCheck asked).
bool WindowManagerRunning(Session& session, const WindowFacts& root);
bool IsTopLevel(Session& session, ::Window window);
// The client a root child stands for: the first window with WM_STATE inside it (breadth first), else the child
// itself. ClientsOf does it for several root children at once.
::Window ClientOf(Session& session, ::Window root_child);
std::vector<::Window> ClientsOf(Session& session, const std::vector<::Window>& root_children);
// The top-level windows, top of the stacking order first, each with the root child it stands in (its frame, or
// itself), in a number of round trips that does not grow with the number of windows: the root's children and the
// manager's _NET_CLIENT_LIST, then the parent of every listed client (a listed client inside a root child stands for
// it); only root children that settle nothing that way (the manager's own windows, or every frame of a manager
// without the list) are looked into further, one level of all of them per round trip. A manager that does not
// announce itself (twm) is known by the redirection of the root's children it holds, and all its root children are
// looked into; with no manager at all the root children are the clients, and nothing is looked into. Under a
// manager, its own root children that are no frame (icons, menus: made by the client that made the frames or
// announces the manager) are left out.
struct TopLevelWindow {
  ::Window window;
  ::Window root_child;
  // A root child standing for itself, without WM_STATE, unmapped or input-only when asked: not visible. Known only
  // under a window manager, where the root children are asked about anyway.
  bool hidden = false;
};
std::vector<TopLevelWindow> TopLevelWindows(Session& session);
// The top-level window that holds `window` (itself when it is one); 0 when it does not exist.
::Window TopLevelOf(Session& session, ::Window window);
// The root child that holds `window`: a managed client's frame, or the top-level window itself.
::Window RootChildOf(Session& session, ::Window window);
bool Iconic(Session& session, ::Window window);
bool Visible(Session& session, ::Window window);
// Shown in Win32 terms (visible, not minimised) while X does not show it: mapped inside a frame or parent that is
// not (a window manager hides the frames of windows on other desktops). DWM calls such a window cloaked.
bool Cloaked(Session& session, ::Window window);
// The outer rectangle in desktop pixels: a managed window's frame, else the window with its border.
bool OuterRect(Session& session, ::Window window, RECT& rect);
// What of the outer rectangle can be seen: a managed client's rectangle grown by the _NET_FRAME_EXTENTS its manager
// published, which leave out the frame's invisible resize borders (metacity's); else the outer rectangle.
bool VisibleFrameRect(Session& session, ::Window window, RECT& rect);

// Sends an EWMH client message about `window` to the root window, as a pager would.
void SendRootMessage(Session& session, ::Window window, const char* type, long d0, long d1 = 0, long d2 = 0,
                     long d3 = 0, long d4 = 0);
// Polls `done` (each time in a session of its own) until it holds or `bound` has passed.
bool WaitForImpl(bool (*poll)(void*), void* context, std::chrono::milliseconds bound);
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds bound = std::chrono::seconds(1)) {
  return WaitForImpl([](void* p) { return (*static_cast<Predicate*>(p))(); }, &done, bound);
}

// Process ids of the clients that made `windows` through the X resource extension, one request for all of them;
// 0 where the server cannot tell (a remote client, no extension, a window gone).
std::vector<DWORD> ClientPids(Session& session, const std::vector<::Window>& windows);

// EnumWindows' snapshot. While EnumWindows calls back, the functions its callbacks ask about a window
// (IsWindowVisible, IsIconic, GetParent, GetClientRect, GetWindowThreadProcessId) answer for an enumerated window on
// that thread from facts asked for many windows at once: at the first such question for the window asked and the
// next kFirstFacts that may be visible (a search mostly ends near the top; windows the enumeration already saw hidden
// are answered as such and skipped), at the next question beyond those for all the others.
// A search among many windows then costs a fixed number of round trips instead of a few per window. The facts are
// asked again once they are older than kSnapshotLife or after this process changed a window (WindowsChanged), and
// never cross to another connection; any other window, thread or moment gets the live answer, and so does a
// question the facts do not settle. An answer is what the live call would have said when the facts were asked.
inline constexpr std::size_t kFirstFacts = 8;
inline constexpr std::chrono::milliseconds kSnapshotLife{100};
struct SnapshotFacts {
  bool exists = false;     // the window answered
  bool top_level = false;  // settled from the snapshot: a root child, or a client (WM_STATE); else ask live
  int map_state = 0;
  int window_class = 0;
  int width = 0, height = 0;
  long wm_state = -1;
  ::Window owner = 0;      // WM_TRANSIENT_FOR
  bool owner_exists = false;
  DWORD pid = 0;           // the resource extension's, else _NET_WM_PID; 0 when neither tells
};
// IsIconic's answer for a snapshot window that exists and is top-level (or does not exist), into `iconic`; false
// when the facts do not settle it (a managed client in the normal state but unmapped: _NET_WM_STATE decides).
bool IconicFrom(const SnapshotFacts& facts, bool& iconic);
class EnumerationScope {
 public:
  EnumerationScope(Session& session, std::vector<TopLevelWindow> windows);
  ~EnumerationScope();
  const std::vector<TopLevelWindow>& windows() const { return windows_; }
  EnumerationScope(const EnumerationScope&) = delete;
  EnumerationScope& operator=(const EnumerationScope&) = delete;

 private:
  friend const SnapshotFacts* SnapshotOf(Session& session, ::Window window, bool visibility);
  // Asks the facts of the windows [first, last) not asked yet.
  void Fetch(Session& session, std::size_t first, std::size_t last);

  EnumerationScope* outer_;
  std::vector<TopLevelWindow> windows_;
  std::unordered_map<::Window, std::size_t> index_;
  std::vector<SnapshotFacts> facts_;
  std::vector<bool> asked_;  // per window: its facts are in
  std::size_t asked_count_ = 0;
  unsigned long generation_;
  unsigned long epoch_ = 0;
  std::chrono::steady_clock::time_point fetched_at_{};
  unsigned long enumerated_epoch_;
  std::chrono::steady_clock::time_point enumerated_at_;
  SnapshotFacts hidden_;  // the answer for a window the enumeration saw hidden
};
// The snapshot's facts of `window`; null when the calling thread has no enumeration running on this connection or
// the window is not one of its windows (the caller then asks live). `visibility`: only what IsWindowVisible needs.
const SnapshotFacts* SnapshotOf(Session& session, ::Window window, bool visibility = false);
// Called by every function that changes a window: the snapshot's facts are asked again before the next answer.
void WindowsChanged();

}  // namespace quorvel::platform::x11

namespace quorvel::platform::detail {
// Counts a call of a window, process or monitor function for the test seam.
void CountCall(std::string_view function);
// True when the test seam made time virtual: the sleep is only added up.
bool SeamVirtualSleep(DWORD milliseconds);
// DPI values chosen by the test seam for GetDpiForMonitor; false when none are.
bool SeamChosenDpi(UINT& x, UINT& y);
}  // namespace quorvel::platform::detail

// Like QUORVEL_SEAM_FAIL for functions that return an HRESULT: the armed code is the HRESULT itself.
#define QUORVEL_SEAM_FAIL_HRESULT(name)                                      \
  do {                                                                       \
    DWORD seam_error_;                                                       \
    if (::quorvel::platform::detail::SeamConsumeFailure(name, seam_error_)) \
      return static_cast<HRESULT>(seam_error_);                              \
  } while (0)
