// The X window tree seen as Win32 windows (rules in x11_windows.h).
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <unordered_map>
#include <unordered_set>
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

std::vector<bool> AskWindows(Session& session, const std::vector<Question>& questions,
                             std::vector<WindowFacts>& facts, const std::function<void()>& meanwhile) {
  std::vector<bool> answered(questions.size(), false);
  facts.assign(questions.size(), WindowFacts{});
  if (!session || questions.empty()) return answered;
  unsigned any = 0;
  for (const Question& q : questions) any |= q.what;
  const Atom wm_state = (any & kWmState) != 0 ? session.atom("WM_STATE") : None;
  const Atom net_state = (any & kNetState) != 0 ? session.atom("_NET_WM_STATE") : None;
  const Atom wm_check = (any & kWmCheck) != 0 ? session.atom("_NET_SUPPORTING_WM_CHECK") : None;
  const Atom client_list = (any & kClientList) != 0 ? session.atom("_NET_CLIENT_LIST") : None;
  const Atom wm_pid = (any & kWmPid) != 0 ? session.atom("_NET_WM_PID") : None;
  const Atom frame_extents = (any & kFrameExtents) != 0 ? session.atom("_NET_FRAME_EXTENTS") : None;
  if (((any & kWmState) != 0 && wm_state == None) || ((any & kNetState) != 0 && net_state == None) ||
      ((any & kWmCheck) != 0 && wm_check == None) || ((any & kClientList) != 0 && client_list == None) ||
      ((any & kWmPid) != 0 && wm_pid == None) || ((any & kFrameExtents) != 0 && frame_extents == None)) {
    return answered;
  }
  // Xlib runs on XCB: requests made straight through XCB share the connection (Xlib hands over its queued ones
  // first), and their errors come back with their replies instead of going to the error handler.
  xcb_connection_t* connection = XGetXCBConnection(session.display());
  struct Cookies {
    xcb_query_tree_cookie_t tree{};
    xcb_get_property_cookie_t state{}, net{};
    xcb_get_geometry_cookie_t geometry{};
    xcb_translate_coordinates_cookie_t origin{};
    xcb_get_property_cookie_t check{}, transient{}, clients{}, pid{}, extents{};
    xcb_get_window_attributes_cookie_t attributes{};
  };
  struct Replies {
    ReplyPtr<xcb_query_tree_reply_t> tree{nullptr, std::free};
    ReplyPtr<xcb_get_property_reply_t> state{nullptr, std::free}, net{nullptr, std::free};
    ReplyPtr<xcb_get_geometry_reply_t> geometry{nullptr, std::free};
    ReplyPtr<xcb_translate_coordinates_reply_t> origin{nullptr, std::free};
    ReplyPtr<xcb_get_property_reply_t> check{nullptr, std::free}, transient{nullptr, std::free},
        clients{nullptr, std::free}, pid{nullptr, std::free}, extents{nullptr, std::free};
    ReplyPtr<xcb_get_window_attributes_reply_t> attributes{nullptr, std::free};
  };
  // Room for every reply is made before the first request, so that none is left behind in the connection.
  std::vector<Cookies> cookies(questions.size());
  std::vector<Replies> replies(questions.size());
  const auto root = static_cast<xcb_window_t>(session.root());
  for (std::size_t i = 0; i < questions.size(); ++i) {
    const auto w = static_cast<xcb_window_t>(questions[i].window);
    const unsigned what = questions[i].what;
    if (w == 0) continue;
    Cookies& c = cookies[i];
    if ((what & kTree) != 0) c.tree = xcb_query_tree(connection, w);
    if ((what & kWmState) != 0) c.state = xcb_get_property(connection, 0, w, wm_state, wm_state, 0, 2);
    if ((what & kGeometry) != 0) c.geometry = xcb_get_geometry(connection, w);
    if ((what & kRootOrigin) != 0) c.origin = xcb_translate_coordinates(connection, w, root, 0, 0);
    if ((what & kNetState) != 0) c.net = xcb_get_property(connection, 0, w, net_state, XCB_ATOM_ATOM, 0, 1024);
    if ((what & kWmCheck) != 0) c.check = xcb_get_property(connection, 0, w, wm_check, XCB_ATOM_WINDOW, 0, 1);
    if ((what & kTransientFor) != 0) {
      c.transient = xcb_get_property(connection, 0, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1);
    }
    if ((what & kAttributes) != 0) c.attributes = xcb_get_window_attributes(connection, w);
    if ((what & kClientList) != 0) {
      c.clients = xcb_get_property(connection, 0, w, client_list, XCB_ATOM_WINDOW, 0, 1 << 16);
    }
    if ((what & kWmPid) != 0) c.pid = xcb_get_property(connection, 0, w, wm_pid, XCB_ATOM_CARDINAL, 0, 1);
    if ((what & kFrameExtents) != 0) {
      c.extents = xcb_get_property(connection, 0, w, frame_extents, XCB_ATOM_CARDINAL, 0, 4);
    }
  }
  if (meanwhile) meanwhile();
  for (std::size_t i = 0; i < questions.size(); ++i) {
    if (questions[i].window == 0) continue;
    const unsigned what = questions[i].what;
    const Cookies& c = cookies[i];
    Replies& r = replies[i];
    r.tree = Collect(connection, (what & kTree) != 0, c.tree, xcb_query_tree_reply);
    r.state = Collect(connection, (what & kWmState) != 0, c.state, xcb_get_property_reply);
    r.geometry = Collect(connection, (what & kGeometry) != 0, c.geometry, xcb_get_geometry_reply);
    r.origin = Collect(connection, (what & kRootOrigin) != 0, c.origin, xcb_translate_coordinates_reply);
    r.net = Collect(connection, (what & kNetState) != 0, c.net, xcb_get_property_reply);
    r.check = Collect(connection, (what & kWmCheck) != 0, c.check, xcb_get_property_reply);
    r.transient = Collect(connection, (what & kTransientFor) != 0, c.transient, xcb_get_property_reply);
    r.attributes = Collect(connection, (what & kAttributes) != 0, c.attributes, xcb_get_window_attributes_reply);
    r.clients = Collect(connection, (what & kClientList) != 0, c.clients, xcb_get_property_reply);
    r.pid = Collect(connection, (what & kWmPid) != 0, c.pid, xcb_get_property_reply);
    r.extents = Collect(connection, (what & kFrameExtents) != 0, c.extents, xcb_get_property_reply);
  }
  for (std::size_t i = 0; i < questions.size(); ++i) {
    const unsigned what = questions[i].what;
    const Replies& r = replies[i];
    WindowFacts& f = facts[i];
    const auto missing = [&](unsigned bit, const void* reply) { return (what & bit) != 0 && reply == nullptr; };
    if (questions[i].window == 0 || missing(kTree, r.tree.get()) || missing(kWmState, r.state.get()) ||
        missing(kGeometry, r.geometry.get()) || missing(kRootOrigin, r.origin.get()) ||
        missing(kNetState, r.net.get()) || missing(kWmCheck, r.check.get()) ||
        missing(kTransientFor, r.transient.get()) || missing(kAttributes, r.attributes.get()) ||
        missing(kClientList, r.clients.get()) || missing(kWmPid, r.pid.get()) ||
        missing(kFrameExtents, r.extents.get())) {
      continue;
    }
    if (r.tree) {
      f.parent = r.tree->parent;
      const xcb_window_t* children = xcb_query_tree_children(r.tree.get());
      f.children.assign(children, children + xcb_query_tree_children_length(r.tree.get()));
    }
    if (r.state) f.wm_state = StateOf(r.state.get(), wm_state);
    if (r.geometry) {
      f.x = r.geometry->x;
      f.y = r.geometry->y;
      f.width = r.geometry->width;
      f.height = r.geometry->height;
      f.border = r.geometry->border_width;
    }
    if (r.origin) {
      f.root_x = r.origin->dst_x;
      f.root_y = r.origin->dst_y;
    }
    if (r.net && r.net->type == XCB_ATOM_ATOM && r.net->format == 32) {
      const auto* atoms = static_cast<const std::uint32_t*>(xcb_get_property_value(r.net.get()));
      f.net_state.assign(atoms, atoms + xcb_get_property_value_length(r.net.get()) / 4);
    }
    if (r.check) f.wm_check = FirstWindow(r.check.get());
    if (r.transient) f.transient_for = FirstWindow(r.transient.get());
    if (r.attributes) {
      f.map_state = r.attributes->map_state;
      f.window_class = r.attributes->_class;
      f.all_event_masks = r.attributes->all_event_masks;
    }
    if (r.clients && r.clients->type == XCB_ATOM_WINDOW && r.clients->format == 32) {
      const auto* ids = static_cast<const std::uint32_t*>(xcb_get_property_value(r.clients.get()));
      f.client_list.assign(ids, ids + xcb_get_property_value_length(r.clients.get()) / 4);
    }
    if (r.pid && r.pid->type == XCB_ATOM_CARDINAL && r.pid->format == 32 &&
        xcb_get_property_value_length(r.pid.get()) >= 4) {
      f.wm_pid = *static_cast<const std::uint32_t*>(xcb_get_property_value(r.pid.get()));
    }
    if (r.extents && r.extents->type == XCB_ATOM_CARDINAL && r.extents->format == 32 &&
        xcb_get_property_value_length(r.extents.get()) >= 16) {
      const auto* widths = static_cast<const std::uint32_t*>(xcb_get_property_value(r.extents.get()));
      f.frame_extents.assign(widths, widths + 4);
    }
    answered[i] = true;
  }
  return answered;
}

std::vector<bool> AskWindows(Session& session, const std::vector<::Window>& windows, unsigned what,
                             std::vector<WindowFacts>& facts) {
  std::vector<Question> questions;
  questions.reserve(windows.size());
  for (::Window w : windows) questions.push_back({w, what});
  return AskWindows(session, questions, facts);
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

namespace {

// For each entry, the first window with WM_STATE found breadth first from `levels[i]` (the windows of its first
// level still to be asked); 0 when there is none. One level of every entry per round trip; bounded so that a deep
// foreign tree costs little.
std::vector<::Window> Descend(Session& session, std::vector<std::vector<::Window>> levels) {
  constexpr std::size_t kMaxAsked = 256;
  std::vector<::Window> found(levels.size(), 0);
  std::vector<std::size_t> asked(levels.size(), 0);
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
    if (batch.empty()) return found;
    std::vector<WindowFacts> facts;
    const std::vector<bool> answered = AskWindows(session, batch, kTree | kWmState, facts);
    for (std::size_t k = 0; k < batch.size(); ++k) {
      const std::size_t i = owner[k];
      if (found[i] != 0 || !answered[k]) continue;
      if (facts[k].wm_state >= 0) {
        found[i] = batch[k];
        levels[i].clear();
      } else {
        levels[i].insert(levels[i].end(), facts[k].children.begin(), facts[k].children.end());
      }
    }
  }
}

}  // namespace

std::vector<::Window> ClientsOf(Session& session, const std::vector<::Window>& root_children) {
  // Breadth first, as frames hold their client near the top.
  std::vector<std::vector<::Window>> levels;
  levels.reserve(root_children.size());
  for (::Window child : root_children) levels.push_back({child});
  std::vector<::Window> clients = Descend(session, std::move(levels));
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (clients[i] == 0) clients[i] = root_children[i];
  }
  return clients;
}

namespace {

// Settles the root children that hold a client of the manager's _NET_CLIENT_LIST (`listed`, each with its parent
// in `parents`, 0 when it did not answer): each listed client's way up to the root child that holds it (its frame),
// all of them a level per round trip; of several clients in one frame the one nearest the frame stands for it. A
// client that is a root child stands for itself (`settled`).
void SettleListed(Session& session, const std::vector<::Window>& children, const std::vector<::Window>& listed,
                  const std::vector<::Window>& parents, std::vector<::Window>& clients, std::vector<bool>& settled) {
  std::unordered_map<::Window, std::size_t> child_index;
  for (std::size_t i = 0; i < children.size(); ++i) child_index.emplace(children[i], i);
  std::vector<std::size_t> depth_found(children.size(), SIZE_MAX);
  struct Climb {
    ::Window client, at;
    std::size_t depth;
  };
  std::vector<Climb> climbing;
  for (std::size_t k = 0; k < listed.size(); ++k) {
    if (parents[k] == 0) continue;
    if (parents[k] == session.root()) {
      if (const auto self = child_index.find(listed[k]); self != child_index.end()) settled[self->second] = true;
    } else {
      climbing.push_back({listed[k], parents[k], 1});
    }
  }
  for (int round = 0; !climbing.empty() && round < 64; ++round) {
    std::vector<::Window> higher;
    std::vector<Climb> still;
    for (const Climb& c : climbing) {
      if (c.at == 0 || c.at == session.root()) continue;
      if (const auto frame = child_index.find(c.at); frame != child_index.end()) {
        if (c.depth < depth_found[frame->second]) {
          depth_found[frame->second] = c.depth;
          clients[frame->second] = c.client;
        }
        continue;
      }
      still.push_back(c);
      higher.push_back(c.at);
    }
    if (still.empty()) break;
    std::vector<WindowFacts> up;
    const std::vector<bool> known = AskWindows(session, higher, kTree, up);
    climbing.clear();
    for (std::size_t k = 0; k < still.size(); ++k) {
      if (known[k]) climbing.push_back({still[k].client, up[k].parent, still[k].depth + 1});
    }
  }
}

}  // namespace

std::vector<TopLevelWindow> TopLevelWindows(Session& session) {
  std::vector<TopLevelWindow> windows;
  WindowFacts root;
  // The root's attributes tell whether a client redirects its children's requests: a window manager, whether it
  // announces itself or not.
  if (!AskWindow(session, session.root(), kTree | kWmCheck | kClientList | kAttributes, root)) return windows;
  const std::vector<::Window>& children = root.children;  // bottom first
  std::vector<::Window> clients(children.size(), 0);
  std::vector<bool> settled(children.size(), false);
  std::vector<bool> hidden(children.size(), false);
  std::vector<bool> managers_own(children.size(), false);
  bool managed = false;
  bool announced = false;  // the manager announces itself (EWMH)
  if (root.wm_check != 0) {
    // Whether the manager still runs (its check window names itself) and every listed client's parent, in one
    // round trip.
    const std::vector<::Window>& listed = root.client_list;
    std::vector<Question> questions{{root.wm_check, kWmCheck}};
    for (::Window client : listed) questions.push_back({client, kTree});
    std::vector<WindowFacts> facts;
    const std::vector<bool> answered = AskWindows(session, questions, facts);
    if (answered[0] && facts[0].wm_check == root.wm_check) {
      managed = announced = true;
      std::vector<::Window> parents(listed.size(), 0);
      for (std::size_t k = 0; k < listed.size(); ++k) {
        if (answered[1 + k]) parents[k] = facts[1 + k].parent;
      }
      SettleListed(session, children, listed, parents, clients, settled);
    }
  }
  // A manager without EWMH (twm) keeps no list: every root child is looked into. Without any manager the root
  // children are the clients themselves, and nothing holds WM_STATE to look for.
  if (!managed) managed = (root.all_event_masks & SubstructureRedirectMask) != 0;
  if (managed) {
    // A root child that holds no listed client (the manager's own windows, or every frame of a manager without
    // the list) is looked into, unless it is a client itself; what it tells of itself marks it hidden too.
    std::vector<::Window> open;
    std::vector<std::size_t> open_index;
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (settled[i]) clients[i] = 0;
      if (!settled[i] && clients[i] == 0) {
        open.push_back(children[i]);
        open_index.push_back(i);
      }
    }
    std::vector<WindowFacts> own;
    const std::vector<bool> told = AskWindows(session, open, kTree | kWmState | kAttributes, own);
    std::vector<std::vector<::Window>> levels(children.size());
    for (std::size_t k = 0; k < open.size(); ++k) {
      if (told[k] && own[k].wm_state < 0) levels[open_index[k]] = own[k].children;
    }
    const std::vector<::Window> found = Descend(session, std::move(levels));
    for (std::size_t k = 0; k < open.size(); ++k) {
      const std::size_t i = open_index[k];
      clients[i] = found[i];
      hidden[i] = found[i] == 0 && told[k] && own[k].wm_state < 0 &&
                  (own[k].map_state == IsUnmapped || own[k].window_class == InputOnly);
    }
    // The manager's own windows (twm's icons, menus) are no application's top-level windows: a root child that is
    // no client and holds none, made by the X client that made the frames (or announces the manager). Told apart
    // by the ids alone, which carry the client that made them; another client's such window (an override-redirect
    // game window) stays.
    const auto mask = static_cast<::Window>(xcb_get_setup(XGetXCBConnection(session.display()))->resource_id_mask);
    std::unordered_set<::Window> manager_bases;
    if (announced) manager_bases.insert(root.wm_check & ~mask);
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (clients[i] != 0 && clients[i] != children[i]) manager_bases.insert(children[i] & ~mask);
    }
    for (std::size_t k = 0; k < open.size(); ++k) {
      const std::size_t i = open_index[k];
      managers_own[i] = clients[i] == 0 && told[k] && own[k].wm_state < 0 &&
                        manager_bases.count(children[i] & ~mask) != 0;
    }
  }
  windows.reserve(children.size());
  for (std::size_t i = children.size(); i-- > 0;) {
    if (managers_own[i]) continue;
    windows.push_back({clients[i] != 0 ? clients[i] : children[i], children[i], hidden[i]});
  }
  return windows;
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

namespace {

// The outer rectangle from what AskTopLevel told of `window` (kGeometry and kRootOrigin asked).
bool OuterRectFrom(Session& session, WindowFacts facts, bool top_level, RECT& rect) {
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

}  // namespace

bool OuterRect(Session& session, ::Window window, RECT& rect) {
  WindowFacts facts;
  bool top_level = false;
  // The place in root coordinates is asked for at once too: it serves a child window, and costs no wait.
  if (!AskTopLevel(session, window, kGeometry | kRootOrigin, facts, top_level)) return false;
  return OuterRectFrom(session, std::move(facts), top_level, rect);
}

bool VisibleFrameRect(Session& session, ::Window window, RECT& rect) {
  WindowFacts facts;
  bool top_level = false;
  if (!AskTopLevel(session, window, kGeometry | kRootOrigin | kFrameExtents, facts, top_level)) return false;
  // Only a managed client's extents count: a withdrawn window may keep those of its last manager. Whatever a
  // client wrote there, a frame is never wider than X's largest window.
  const bool managed = facts.wm_state == kNormalState || facts.wm_state == kIconicState;
  const auto& all = facts.frame_extents;
  if (!top_level || !managed || all.size() != 4 ||
      std::any_of(all.begin(), all.end(), [](unsigned long width) { return width > 0xFFFF; })) {
    return OuterRectFrom(session, std::move(facts), top_level, rect);
  }
  // The extents are measured from the client's inside: its own border, if any, lies within them.
  const auto& e = facts.frame_extents;  // left, right, top, bottom
  const long left = facts.root_x - static_cast<long>(e[0]), top = facts.root_y - static_cast<long>(e[2]);
  const long right = facts.root_x + facts.width + static_cast<long>(e[1]);
  const long bottom = facts.root_y + facts.height + static_cast<long>(e[3]);
  rect = RECT{static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(right), static_cast<LONG>(bottom)};
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

bool WaitForImpl(bool (*poll)(void*), void* context, std::chrono::milliseconds bound) {
  // Real time on purpose: the window manager answers in real time, whatever the test seam does to Sleep.
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (true) {
    if (poll(context)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace quorvel::platform::x11
