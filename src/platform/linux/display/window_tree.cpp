// The X window tree seen as Win32 windows (rules in x11_windows.h).
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/linux/display/x11_windows.h"

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

// A WINDOW property's first value, 0 when there is none.
::Window FirstWindow(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->type != XCB_ATOM_WINDOW || reply->format != 32 ||
      xcb_get_property_value_length(reply) < 4) {
    return 0;
  }
  return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
}

}  // namespace

std::vector<bool> AskWindows(Session& session, const std::vector<::Window>& windows, unsigned what,
                             std::vector<WindowFacts>& facts) {
  std::vector<bool> answered(windows.size(), false);
  facts.assign(windows.size(), WindowFacts{});
  if (!session || windows.empty()) return answered;
  const Atom wm_state = (what & kWmState) != 0 ? session.atom("WM_STATE") : None;
  const Atom net_state = (what & kNetState) != 0 ? session.atom("_NET_WM_STATE") : None;
  const Atom wm_check = (what & kWmCheck) != 0 ? session.atom("_NET_SUPPORTING_WM_CHECK") : None;
  if (((what & kWmState) != 0 && wm_state == None) || ((what & kNetState) != 0 && net_state == None) ||
      ((what & kWmCheck) != 0 && wm_check == None)) {
    return answered;
  }
  // Xlib runs on XCB: requests made straight through XCB share the connection (Xlib hands over its queued ones
  // first), and their errors come back with their replies instead of going to the error handler.
  xcb_connection_t* connection = XGetXCBConnection(session.display());
  const bool tree = (what & kTree) != 0, state = (what & kWmState) != 0, geometry = (what & kGeometry) != 0,
             origin = (what & kRootOrigin) != 0, net = (what & kNetState) != 0, check = (what & kWmCheck) != 0,
             transient = (what & kTransientFor) != 0, attributes = (what & kAttributes) != 0;
  struct Cookies {
    xcb_query_tree_cookie_t tree{};
    xcb_get_property_cookie_t state{}, net{};
    xcb_get_geometry_cookie_t geometry{};
    xcb_translate_coordinates_cookie_t origin{};
    xcb_get_property_cookie_t check{}, transient{};
    xcb_get_window_attributes_cookie_t attributes{};
  };
  struct Replies {
    ReplyPtr<xcb_query_tree_reply_t> tree{nullptr, std::free};
    ReplyPtr<xcb_get_property_reply_t> state{nullptr, std::free}, net{nullptr, std::free};
    ReplyPtr<xcb_get_geometry_reply_t> geometry{nullptr, std::free};
    ReplyPtr<xcb_translate_coordinates_reply_t> origin{nullptr, std::free};
    ReplyPtr<xcb_get_property_reply_t> check{nullptr, std::free}, transient{nullptr, std::free};
    ReplyPtr<xcb_get_window_attributes_reply_t> attributes{nullptr, std::free};
  };
  // Room for every reply is made before the first request, so that none is left behind in the connection.
  std::vector<Cookies> cookies(windows.size());
  std::vector<Replies> replies(windows.size());
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const auto w = static_cast<xcb_window_t>(windows[i]);
    if (w == 0) continue;
    Cookies& c = cookies[i];
    if (tree) c.tree = xcb_query_tree(connection, w);
    if (state) c.state = xcb_get_property(connection, 0, w, wm_state, wm_state, 0, 2);
    if (geometry) c.geometry = xcb_get_geometry(connection, w);
    if (origin) c.origin = xcb_translate_coordinates(connection, w, static_cast<xcb_window_t>(session.root()), 0, 0);
    if (net) c.net = xcb_get_property(connection, 0, w, net_state, XCB_ATOM_ATOM, 0, 1024);
    if (check) c.check = xcb_get_property(connection, 0, w, wm_check, XCB_ATOM_WINDOW, 0, 1);
    if (transient) c.transient = xcb_get_property(connection, 0, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1);
    if (attributes) c.attributes = xcb_get_window_attributes(connection, w);
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (windows[i] == 0) continue;
    const Cookies& c = cookies[i];
    Replies& r = replies[i];
    r.check = Collect(connection, check, c.check, xcb_get_property_reply);
    r.transient = Collect(connection, transient, c.transient, xcb_get_property_reply);
    r.attributes = Collect(connection, attributes, c.attributes, xcb_get_window_attributes_reply);
    r.tree = Collect(connection, tree, c.tree, xcb_query_tree_reply);
    r.state = Collect(connection, state, c.state, xcb_get_property_reply);
    r.geometry = Collect(connection, geometry, c.geometry, xcb_get_geometry_reply);
    r.origin = Collect(connection, origin, c.origin, xcb_translate_coordinates_reply);
    r.net = Collect(connection, net, c.net, xcb_get_property_reply);
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const Replies& r = replies[i];
    WindowFacts& f = facts[i];
    if (windows[i] == 0 || (tree && !r.tree) || (state && !r.state) || (geometry && !r.geometry) ||
        (origin && !r.origin) || (net && !r.net) || (check && !r.check) || (transient && !r.transient) ||
        (attributes && !r.attributes)) {
      continue;
    }
    if (tree) {
      f.parent = r.tree->parent;
      const xcb_window_t* children = xcb_query_tree_children(r.tree.get());
      f.children.assign(children, children + xcb_query_tree_children_length(r.tree.get()));
    }
    if (state) f.wm_state = StateOf(r.state.get(), wm_state);
    if (geometry) {
      f.x = r.geometry->x;
      f.y = r.geometry->y;
      f.width = r.geometry->width;
      f.height = r.geometry->height;
      f.border = r.geometry->border_width;
    }
    if (origin) {
      f.root_x = r.origin->dst_x;
      f.root_y = r.origin->dst_y;
    }
    if (net && r.net->type == XCB_ATOM_ATOM && r.net->format == 32) {
      const auto* atoms = static_cast<const std::uint32_t*>(xcb_get_property_value(r.net.get()));
      f.net_state.assign(atoms, atoms + xcb_get_property_value_length(r.net.get()) / 4);
    }
    if (check) f.wm_check = FirstWindow(r.check.get());
    if (transient) f.transient_for = FirstWindow(r.transient.get());
    if (attributes) {
      f.map_state = r.attributes->map_state;
      f.window_class = r.attributes->_class;
    }
    answered[i] = true;
  }
  return answered;
}

bool AskDesktop(Session& session, DesktopFacts& facts) {
  if (!session) return false;
  const Atom check = session.atom("_NET_SUPPORTING_WM_CHECK"), active = session.atom("_NET_ACTIVE_WINDOW");
  if (check == None || active == None) return false;
  xcb_connection_t* connection = XGetXCBConnection(session.display());
  const auto root = static_cast<xcb_window_t>(session.root());
  const auto check_cookie = xcb_get_property(connection, 0, root, check, XCB_ATOM_WINDOW, 0, 1);
  const auto active_cookie = xcb_get_property(connection, 0, root, active, XCB_ATOM_WINDOW, 0, 1);
  const auto focus_cookie = xcb_get_input_focus(connection);
  const auto check_reply = Collect(connection, true, check_cookie, xcb_get_property_reply);
  const auto active_reply = Collect(connection, true, active_cookie, xcb_get_property_reply);
  const auto focus_reply = Collect(connection, true, focus_cookie, xcb_get_input_focus_reply);
  if (!check_reply || !active_reply || !focus_reply) return false;
  facts.wm_check = FirstWindow(check_reply.get());
  facts.active = FirstWindow(active_reply.get());
  facts.focus = focus_reply->focus;
  return true;
}

bool AskWindow(Session& session, ::Window window, unsigned what, WindowFacts& facts) {
  std::vector<WindowFacts> all;
  const bool answered = AskWindows(session, {window}, what, all)[0];
  if (answered) facts = std::move(all[0]);
  return answered;
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

bool WindowManagerRunning(Session& session) {
  WindowFacts root;
  return AskWindow(session, session.root(), kWmCheck, root) && WindowManagerRunning(session, root);
}

bool WindowManagerRunning(Session& session, const WindowFacts& root) {
  if (root.wm_check == 0) return false;
  // A window manager that died leaves the property behind; its check window is gone then.
  WindowFacts check;
  return AskWindow(session, root.wm_check, kWmCheck, check) && check.wm_check == root.wm_check;
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

std::vector<::Window> ClientsOf(Session& session, const std::vector<::Window>& root_children) {
  // Breadth first, as frames hold their client near the top, one level of every root child per round trip;
  // bounded so that a deep foreign tree costs little.
  constexpr std::size_t kMaxAsked = 256;
  std::vector<::Window> clients = root_children;
  std::vector<std::vector<::Window>> levels(root_children.size());
  std::vector<std::size_t> asked(root_children.size(), 0);
  for (std::size_t i = 0; i < root_children.size(); ++i) levels[i] = {root_children[i]};
  while (true) {
    std::vector<::Window> batch;
    std::vector<std::size_t> owner;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      for (::Window w : levels[i]) {
        if (asked[i] == kMaxAsked) break;
        ++asked[i];
        batch.push_back(w);
        owner.push_back(i);
      }
      levels[i].clear();
    }
    if (batch.empty()) return clients;
    std::vector<WindowFacts> facts;
    const std::vector<bool> answered = AskWindows(session, batch, kTree | kWmState, facts);
    std::vector<bool> found(root_children.size(), false);
    for (std::size_t k = 0; k < batch.size(); ++k) {
      const std::size_t i = owner[k];
      if (found[i] || !answered[k]) continue;
      if (facts[k].wm_state >= 0) {
        clients[i] = batch[k];
        found[i] = true;
        levels[i].clear();
      } else {
        levels[i].insert(levels[i].end(), facts[k].children.begin(), facts[k].children.end());
      }
    }
  }
}

::Window ClientOf(Session& session, ::Window root_child) { return ClientsOf(session, {root_child})[0]; }

::Window TopLevelOf(Session& session, ::Window window) {
  ::Window current = window;
  for (int depth = 0; depth < 64; ++depth) {
    WindowFacts facts;
    if (!AskWindow(session, current, kTree | kWmState, facts)) return 0;
    if (facts.parent == session.root()) {
      // Looked into only when the answer at hand does not settle it.
      return facts.wm_state >= 0 || facts.children.empty() ? current : ClientOf(session, current);
    }
    if (facts.wm_state >= 0) return current;
    current = facts.parent;
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
  // Each window's attributes, WM_STATE and parent in one round trip.
  constexpr unsigned kAsked = kAttributes | kWmState | kTree;
  WindowFacts facts;
  if (!AskWindow(session, window, kAsked, facts) || facts.window_class == InputOnly) return false;
  // Like WS_VISIBLE up the parent chain; a minimised window stays visible although its manager unmapped it.
  for (int depth = 0; depth < 64; ++depth) {
    const bool mapped = facts.map_state != IsUnmapped;
    if (facts.wm_state >= 0) return mapped || facts.wm_state == kIconicState;
    if (!mapped) return false;
    const ::Window parent = facts.parent;
    if (parent == 0) return false;
    if (parent == session.root()) return true;
    if (!AskWindow(session, parent, kAsked, facts)) return false;
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
