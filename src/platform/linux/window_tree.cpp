// The X window tree seen as Win32 windows (rules in x11_windows.h).
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "platform/linux/x11_windows.h"

namespace quorvel::platform::x11 {

::Window ToXWindow(HWND hwnd) {
  const auto value = reinterpret_cast<std::uintptr_t>(hwnd);
  if (value == 0 || value > 0x1FFFFFFFu) return 0;
  return static_cast<::Window>(value);
}

bool Attributes(Session& session, ::Window window, XWindowAttributes& attributes) {
  if (!session || window == 0) return false;
  ErrorTrap trap(session);
  return XGetWindowAttributes(session.display(), window, &attributes) != 0 && trap.error() == 0;
}

namespace {

bool QueryTree(Session& session, ::Window window, ::Window& parent, std::vector<::Window>* children) {
  if (!session || window == 0) return false;
  ErrorTrap trap(session);
  ::Window root = 0;
  ::Window* list = nullptr;
  unsigned int count = 0;
  const int status = XQueryTree(session.display(), window, &root, &parent, &list, &count);
  const std::unique_ptr<::Window, decltype(&XFree)> owned(list, XFree);  // also when the copy runs out of memory
  if (status == 0 || trap.error() != 0) return false;
  if (children != nullptr) children->assign(list, list + count);
  return true;
}

}  // namespace

::Window ParentOf(Session& session, ::Window window) {
  ::Window parent = 0;
  return QueryTree(session, window, parent, nullptr) ? parent : 0;
}

std::vector<::Window> RootChildren(Session& session) {
  std::vector<::Window> children;
  ::Window parent = 0;
  if (!QueryTree(session, session.root(), parent, &children)) children.clear();
  return children;
}

std::vector<unsigned long> LongProperty(Session& session, ::Window window, const char* property, Atom type) {
  std::vector<unsigned long> values;
  if (!session || window == 0) return values;
  ErrorTrap trap(session);
  Atom actual_type = None;
  int actual_format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(session.display(), window, session.atom(property), 0, 1024, False, type,
                                        &actual_type, &actual_format, &count, &remaining, &data);
  const std::unique_ptr<unsigned char, decltype(&XFree)> owned(data, XFree);  // also when the copy runs out of memory
  if (status == Success && trap.error() == 0 && actual_type == type && actual_format == 32 && data != nullptr) {
    // Xlib hands 32-bit property items out as longs.
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    values.assign(items, items + count);
  }
  return values;
}

long WmState(Session& session, ::Window window) {
  const Atom wm_state = session.atom("WM_STATE");
  const auto values = LongProperty(session, window, "WM_STATE", wm_state);
  return values.empty() ? -1 : static_cast<long>(values[0]);
}

bool HasNetState(Session& session, ::Window window, const char* state) {
  const Atom wanted = session.atom(state);
  for (unsigned long atom : LongProperty(session, window, "_NET_WM_STATE", XA_ATOM)) {
    if (atom == wanted) return true;
  }
  return false;
}

bool WindowManagerRunning(Session& session) {
  const auto check = LongProperty(session, session.root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  if (check.empty() || check[0] == 0) return false;
  // A window manager that died leaves the property behind; its check window is gone then.
  const auto self = LongProperty(session, check[0], "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  return !self.empty() && self[0] == check[0];
}

namespace {

// Whether the last top-level window looked at was known by its WM_STATE (a window manager runs) or by its parent
// being the root; it picks which of the two to ask first, so that the usual case takes one round trip. Either order
// gives the same answer. Touched only under the session lock.
bool managed_hint = true;

// IsTopLevel, with what was learnt on the way: the window's WM_STATE state (-1: none; kStateUnknown: not read)
// and its parent (0: not read).
constexpr long kStateUnknown = -2;
bool TopLevelState(Session& session, ::Window window, long& state, ::Window& parent) {
  state = kStateUnknown;
  parent = 0;
  if (!session || window == 0 || window == session.root()) return false;
  if (managed_hint) {
    // A window with WM_STATE exists and is a client: its parent need not be asked.
    state = WmState(session, window);
    if (state >= 0) return true;
    parent = ParentOf(session, window);
    managed_hint = parent != session.root();
    return parent == session.root();
  }
  parent = ParentOf(session, window);
  if (parent == 0) return false;
  if (parent == session.root()) return true;
  state = WmState(session, window);
  managed_hint = state >= 0;
  return state >= 0;
}

}  // namespace

bool IsTopLevel(Session& session, ::Window window) {
  long state;
  ::Window parent;
  return TopLevelState(session, window, state, parent);
}

::Window ClientOf(Session& session, ::Window root_child) {
  if (WmState(session, root_child) >= 0) return root_child;
  // Breadth first, as frames hold their client near the top; bounded so that a deep foreign tree costs little.
  std::deque<::Window> queue{root_child};
  for (int visited = 0; !queue.empty() && visited < 64; ++visited) {
    const ::Window window = queue.front();
    queue.pop_front();
    ::Window parent = 0;
    std::vector<::Window> children;
    if (!QueryTree(session, window, parent, &children)) continue;
    for (::Window child : children) {
      if (WmState(session, child) >= 0) return child;
      queue.push_back(child);
    }
  }
  return root_child;
}

::Window TopLevelOf(Session& session, ::Window window) {
  ::Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    const ::Window parent = ParentOf(session, current);
    if (parent == 0) return 0;
    if (parent == session.root()) return ClientOf(session, current);
    if (WmState(session, current) >= 0) return current;
    current = parent;
  }
  return 0;
}

::Window RootChildOf(Session& session, ::Window window) {
  ::Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    const ::Window parent = ParentOf(session, current);
    if (parent == 0) return 0;
    if (parent == session.root()) return current;
    current = parent;
  }
  return 0;
}

bool Iconic(Session& session, ::Window window) {
  long state;
  ::Window parent;
  if (!TopLevelState(session, window, state, parent)) return false;
  if (state == kStateUnknown) state = WmState(session, window);
  if (state == kIconicState) return true;
  // A manager that keeps WM_STATE normal while it hides a minimised client still says so in EWMH terms. A
  // withdrawn window's _NET_WM_STATE may be stale, so it counts only for a managed, unmapped client.
  if (state != kNormalState || !HasNetState(session, window, "_NET_WM_STATE_HIDDEN")) return false;
  XWindowAttributes attributes;
  return Attributes(session, window, attributes) && attributes.map_state == IsUnmapped;
}

bool Visible(Session& session, ::Window window) {
  XWindowAttributes attributes;
  if (!Attributes(session, window, attributes) || attributes.c_class == InputOnly) return false;
  // Like WS_VISIBLE up the parent chain; a minimised window stays visible although its manager unmapped it.
  ::Window current = window;
  bool mapped = attributes.map_state != IsUnmapped;
  for (int depth = 0; depth < 64; ++depth) {
    const long state = WmState(session, current);
    if (state >= 0) return mapped || state == kIconicState;
    if (!mapped) return false;
    const ::Window parent = ParentOf(session, current);
    if (parent == 0) return false;
    if (parent == session.root()) return true;
    current = parent;
    if (!Attributes(session, current, attributes)) return false;
    mapped = attributes.map_state != IsUnmapped;
  }
  return false;
}

bool OuterRect(Session& session, ::Window window, RECT& rect) {
  XWindowAttributes attributes;
  int x = 0, y = 0;
  long state;
  ::Window parent;
  if (TopLevelState(session, window, state, parent)) {
    // A top-level window's rectangle is its root child's (the frame, or itself), whose place is root-relative.
    const ::Window frame = parent == session.root() ? window : RootChildOf(session, parent != 0 ? parent : window);
    if (frame == 0 || !Attributes(session, frame, attributes)) return false;
    x = attributes.x;
    y = attributes.y;
  } else {
    if (!Attributes(session, window, attributes)) return false;
    ErrorTrap trap(session);
    ::Window child = 0;
    if (!XTranslateCoordinates(session.display(), window, session.root(), -attributes.border_width,
                               -attributes.border_width, &x, &y, &child) ||
        trap.error() != 0) {
      return false;
    }
  }
  const int border = 2 * attributes.border_width;
  rect = RECT{x, y, x + attributes.width + border, y + attributes.height + border};
  return true;
}

void SendRootMessage(Session& session, ::Window window, const char* type, long d0, long d1, long d2, long d3,
                     long d4) {
  if (!session) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = session.atom(type);
  event.xclient.format = 32;
  event.xclient.data.l[0] = d0;
  event.xclient.data.l[1] = d1;
  event.xclient.data.l[2] = d2;
  event.xclient.data.l[3] = d3;
  event.xclient.data.l[4] = d4;
  ErrorTrap trap(session);
  XSendEvent(session.display(), session.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  trap.Sync();
}

bool WaitForImpl(bool (*poll)(void*), void* context) {
  // Real time on purpose: the window manager answers in real time, whatever the test seam does to Sleep.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (true) {
    if (poll(context)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace quorvel::platform::x11
