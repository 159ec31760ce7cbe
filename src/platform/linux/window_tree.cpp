// The X window tree seen as Win32 windows (rules in x11_windows.h).
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

// The reply of `cookie`, null on an error (which is taken here, so it never reaches Xlib's handler) or a broken
// connection.
template <typename Reply, typename Cookie>
ReplyPtr<Reply> Collect(xcb_connection_t* connection, bool asked, Cookie cookie,
                        Reply* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
  if (!asked) return ReplyPtr<Reply>(nullptr, std::free);
  xcb_generic_error_t* error = nullptr;
  ReplyPtr<Reply> result(reply(connection, cookie, &error), std::free);
  std::free(error);
  return result;
}

// WM_STATE's state from its reply: -1 when the window has none.
long StateOf(const xcb_get_property_reply_t* reply, Atom type) {
  if (reply == nullptr || reply->type != type || reply->format != 32 || xcb_get_property_value_length(reply) < 4) {
    return -1;
  }
  return static_cast<long>(*static_cast<const std::uint32_t*>(xcb_get_property_value(reply)));
}

}  // namespace

bool AskWindow(Session& session, ::Window window, unsigned what, WindowFacts& facts) {
  if (!session || window == 0) return false;
  const Atom wm_state = (what & kWmState) != 0 ? session.atom("WM_STATE") : None;
  const Atom net_state = (what & kNetState) != 0 ? session.atom("_NET_WM_STATE") : None;
  // Xlib runs on XCB: requests made straight through XCB share the connection (Xlib hands over its queued ones
  // first), and their errors come back with their replies instead of going to the error handler.
  xcb_connection_t* connection = XGetXCBConnection(session.display());
  const auto w = static_cast<xcb_window_t>(window);
  const bool tree = (what & kTree) != 0, state = wm_state != None, geometry = (what & kGeometry) != 0,
             origin = (what & kRootOrigin) != 0, net = net_state != None;
  xcb_query_tree_cookie_t tree_cookie{};
  xcb_get_property_cookie_t state_cookie{}, net_cookie{};
  xcb_get_geometry_cookie_t geometry_cookie{};
  xcb_translate_coordinates_cookie_t origin_cookie{};
  if (tree) tree_cookie = xcb_query_tree(connection, w);
  if (state) state_cookie = xcb_get_property(connection, 0, w, wm_state, wm_state, 0, 2);
  if (geometry) geometry_cookie = xcb_get_geometry(connection, w);
  if (origin) {
    origin_cookie = xcb_translate_coordinates(connection, w, static_cast<xcb_window_t>(session.root()), 0, 0);
  }
  if (net) net_cookie = xcb_get_property(connection, 0, w, net_state, XCB_ATOM_ATOM, 0, 1024);
  // Every reply is taken before anything can throw, so that none is left behind in the connection.
  const auto tree_reply = Collect(connection, tree, tree_cookie, xcb_query_tree_reply);
  const auto state_reply = Collect(connection, state, state_cookie, xcb_get_property_reply);
  const auto geometry_reply = Collect(connection, geometry, geometry_cookie, xcb_get_geometry_reply);
  const auto origin_reply = Collect(connection, origin, origin_cookie, xcb_translate_coordinates_reply);
  const auto net_reply = Collect(connection, net, net_cookie, xcb_get_property_reply);
  if ((tree && !tree_reply) || (state && !state_reply) || (geometry && !geometry_reply) ||
      (origin && !origin_reply) || (net && !net_reply) || ((what & kWmState) != 0 && !state) ||
      ((what & kNetState) != 0 && !net)) {
    return false;
  }
  if (tree) {
    facts.parent = tree_reply->parent;
    const xcb_window_t* children = xcb_query_tree_children(tree_reply.get());
    facts.children.assign(children, children + xcb_query_tree_children_length(tree_reply.get()));
  }
  if (state) facts.wm_state = StateOf(state_reply.get(), wm_state);
  if (geometry) {
    facts.x = geometry_reply->x;
    facts.y = geometry_reply->y;
    facts.width = geometry_reply->width;
    facts.height = geometry_reply->height;
    facts.border = geometry_reply->border_width;
  }
  if (origin) {
    facts.root_x = origin_reply->dst_x;
    facts.root_y = origin_reply->dst_y;
  }
  if (net) {
    facts.net_state.clear();
    if (net_reply->type == XCB_ATOM_ATOM && net_reply->format == 32) {
      const auto* atoms = static_cast<const std::uint32_t*>(xcb_get_property_value(net_reply.get()));
      facts.net_state.assign(atoms, atoms + xcb_get_property_value_length(net_reply.get()) / 4);
    }
  }
  return true;
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

// Top-level: a child of the root, or a client (it has WM_STATE). Asked together with whatever else the caller
// needs of the window, in one round trip.
bool AskTopLevel(Session& session, ::Window window, unsigned what, WindowFacts& facts, bool& top_level) {
  top_level = false;
  if (!AskWindow(session, window, what | kTree | kWmState, facts)) return false;
  top_level = window != session.root() && (facts.parent == session.root() || facts.wm_state >= 0);
  return true;
}

}  // namespace

bool IsTopLevel(Session& session, ::Window window) {
  WindowFacts facts;
  bool top_level = false;
  return AskTopLevel(session, window, 0, facts, top_level) && top_level;
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
  WindowFacts facts;
  bool top_level = false;
  if (!AskTopLevel(session, window, kNetState, facts, top_level) || !top_level) return false;
  if (facts.wm_state == kIconicState) return true;
  // A manager that keeps WM_STATE normal while it hides a minimised client still says so in EWMH terms. A
  // withdrawn window's _NET_WM_STATE may be stale, so it counts only for a managed, unmapped client.
  const Atom hidden = session.atom("_NET_WM_STATE_HIDDEN");
  if (facts.wm_state != kNormalState ||
      std::find(facts.net_state.begin(), facts.net_state.end(), hidden) == facts.net_state.end()) {
    return false;
  }
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
  WindowFacts facts;
  bool top_level = false;
  // The place in root coordinates is asked for at once too: it serves a child window, and costs no wait.
  if (!AskTopLevel(session, window, kGeometry | kRootOrigin, facts, top_level)) return false;
  int x = facts.root_x - facts.border, y = facts.root_y - facts.border;
  if (top_level) {
    // A top-level window's rectangle is its root child's (the frame, or itself), whose place is root-relative.
    for (int depth = 0; facts.parent != session.root(); ++depth) {
      if (depth == 64 || facts.parent == 0 || !AskWindow(session, facts.parent, kTree | kGeometry, facts)) return false;
    }
    x = facts.x;
    y = facts.y;
  }
  const int border = 2 * facts.border;
  rect = RECT{x, y, x + facts.width + border, y + facts.height + border};
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
