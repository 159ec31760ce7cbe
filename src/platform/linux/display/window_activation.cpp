// Showing, minimising, restoring, activating and raising windows. With a window manager these are requests to it
// (ICCCM WM_CHANGE_STATE and mapping, EWMH _NET_ACTIVE_WINDOW, _NET_WM_STATE, _NET_RESTACK_WINDOW, sent as a pager
// would so that focus-stealing prevention lets them through), each awaited for a bounded time so that the call
// returns with the change made, as on Windows. A window on another desktop is activated as a pager does it: its
// desktop made the current one first (managers refuse to activate a window they do not show). Without an EWMH
// manager, plain Xlib: mapping, raising (a request that a manager without EWMH may honour) and input focus; there is
// no minimised state then, so minimising only hides the window.
//
// The foreground window is the active one (it holds the input focus) as long as no window above it in the stacking
// order overlaps it: on X, any client may raise another window over the focused one, while Windows keeps its
// foreground window on top.
//
// The waits that a capture goes through are short: a restore (SW_RESTORE, SW_SHOWNORMAL, SW_SHOWDEFAULT) waits at
// most kRestoreWait for the manager to show the window, activate it and put it back in its place (its iconify
// animation done), activation and raising kActivationWait each. A window whose activation or raising the manager
// let time out is remembered: until it is seen active again it is asked without more than kRefusedWait of waiting,
// so that a loop that keeps capturing a window the manager will not activate does not pay the wait every time.
// An activation or raise of a window that follows its restore at once on the same thread (a capture's second step,
// when another client took the foreground meanwhile, as concurrent captures of several windows do) waits only until
// the restore's deadline, if the restore saw the window in its place: it is the same bringing forward, and together
// they stay within kRestoreWait.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

namespace {

constexpr long kSourcePager = 2;
constexpr long kNetStateRemove = 0;
constexpr long kNetStateAdd = 1;
constexpr long kRestackAbove = 0;  // X's Above

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kRestoreWait{200};
constexpr milliseconds kActivationWait{100};
constexpr milliseconds kRefusedWait{10};
constexpr milliseconds kOtherWait{1000};  // hiding, minimising, showing: no capture waits on them

bool Mapped(x11::Session& session, ::Window window) {
  XWindowAttributes attributes;
  return x11::Attributes(session, window, attributes) && attributes.map_state != IsUnmapped;
}

template <typename Check>
bool Await(::Window window, Check check, milliseconds bound) {
  return x11::WaitFor(
      [&] {
        x11::Session session;
        return check(session, window);
      },
      bound);
}

milliseconds Left(Clock::time_point deadline) {
  return std::max(milliseconds{0}, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
}

// The window this thread restored last under a window manager and saw in its place, and the deadline of that
// restore.
struct Restored {
  ::Window window = 0;
  Clock::time_point deadline{};
};
thread_local Restored last_restored;

// The wait allowed for `window`'s activation or raising, `bound` on its own; `cut` tells whether a restore of the
// window just before shortened it.
milliseconds WaitAfterRestore(::Window window, milliseconds bound, bool& cut) {
  cut = false;
  const Restored& r = last_restored;
  // "Just before": the caller paused at most until the deadline; kRestoreWait more allows for a busy machine.
  if (r.window != window || Clock::now() >= r.deadline + kRestoreWait) return bound;
  const milliseconds left = Left(r.deadline);
  cut = left < bound;
  return std::min(bound, left);
}

// The window manager's check window while one runs, else 0.
::Window RunningManager(x11::Session& session) {
  x11::WindowFacts root;
  return x11::AskWindow(session, session.root(), x11::kWmCheck, root) && x11::WindowManagerRunning(session, root)
             ? root.wm_check
             : 0;
}

// Windows whose activation (or raising) a window manager let time out, newest last, with that manager's check
// window (a new manager starts afresh); a short list, as only windows asked for again matter.
class Refusals {
 public:
  bool Has(::Window window, ::Window manager) {
    std::lock_guard lock(mutex_);
    return std::find(entries_.begin(), entries_.end(), std::pair{window, manager}) != entries_.end();
  }
  void Note(::Window window, ::Window manager, bool refused) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& e) { return e.first == window; });
    if (!refused) return;
    if (entries_.size() == kKept) entries_.erase(entries_.begin());
    entries_.emplace_back(window, manager);
  }

 private:
  static constexpr std::size_t kKept = 64;
  std::mutex mutex_;
  std::vector<std::pair<::Window, ::Window>> entries_;
};

Refusals& ActivationRefusals() {
  static Refusals* refusals = new Refusals;
  return *refusals;
}

Refusals& RaiseRefusals() {
  static Refusals* refusals = new Refusals;
  return *refusals;
}

// The window holding the input focus: under a window manager, the one it calls active.
::Window ActiveOf(x11::Session& session) {
  x11::DesktopFacts desktop;
  if (!x11::AskDesktop(session, desktop)) return 0;
  const ::Window focus = desktop.focus;
  const bool no_focus = focus == None || focus == PointerRoot || focus == session.root();
  if (desktop.wm_check != 0) {
    // Whether the manager still runs (its check window names itself) and whether the window it calls active
    // exists, in one round trip.
    std::vector<x11::WindowFacts> facts;
    const std::vector<bool> answered =
        x11::AskWindows(session, {desktop.wm_check, desktop.active}, x11::kWmCheck, facts);
    if (answered[0] && facts[0].wm_check == desktop.wm_check) {
      // Only while the focus lies in it: openbox may leave a destroyed window named active, and X hands its id to
      // the next client's first window, which would pass for active without ever having been.
      if (!answered[1] || desktop.active == 0 || no_focus) return 0;
      return x11::TopLevelOf(session, focus) == desktop.active ? desktop.active : 0;
    }
  }
  if (no_focus) return 0;
  return x11::TopLevelOf(session, focus);
}

// Whether a viewable window above `top`'s root child overlaps its client area.
bool Covered(x11::Session& session, ::Window top) {
  const ::Window frame = x11::RootChildOf(session, top);
  const std::vector<::Window> children = x11::RootChildren(session);  // bottom first
  const auto at = std::find(children.begin(), children.end(), frame);
  if (frame == 0 || at == children.end()) return false;
  std::vector<x11::Question> questions{{top, x11::kGeometry | x11::kRootOrigin}};
  for (auto above = at + 1; above != children.end(); ++above) {
    questions.push_back({*above, x11::kGeometry | x11::kAttributes});
  }
  std::vector<x11::WindowFacts> facts;
  const std::vector<bool> answered = x11::AskWindows(session, questions, facts);
  if (!answered[0]) return false;
  const x11::WindowFacts& client = facts[0];
  for (std::size_t i = 1; i < questions.size(); ++i) {
    const x11::WindowFacts& w = facts[i];
    if (!answered[i] || w.map_state != IsViewable || w.window_class != InputOutput) continue;
    if (w.x < client.root_x + client.width && client.root_x < w.x + w.width + 2 * w.border &&
        w.y < client.root_y + client.height && client.root_y < w.y + w.height + 2 * w.border) {
      return true;
    }
  }
  return false;
}

// The active window while nothing covers it.
::Window ForegroundOf(x11::Session& session) {
  const ::Window active = ActiveOf(session);
  return active != 0 && !Covered(session, active) ? active : 0;
}

// Makes `top`'s desktop the current one, as a pager does, when the manager shows it on another; awaited until the
// switch is made or the deadline.
void ToDesktopOf(::Window top, Clock::time_point deadline) {
  constexpr unsigned long kAllDesktops = 0xFFFFFFFFul;
  unsigned long desktop = 0;
  {
    x11::Session session;
    const std::vector<unsigned long> own = x11::LongProperty(session, top, "_NET_WM_DESKTOP", XA_CARDINAL);
    const std::vector<unsigned long> current =
        x11::LongProperty(session, session.root(), "_NET_CURRENT_DESKTOP", XA_CARDINAL);
    if (own.empty() || current.empty() || own[0] == kAllDesktops || own[0] == current[0]) return;
    desktop = own[0];
    x11::SendRootMessage(session, session.root(), "_NET_CURRENT_DESKTOP", static_cast<long>(desktop), CurrentTime);
  }
  x11::WindowsChanged();
  Await(
      top,
      [&](x11::Session& s, ::Window) {
        return x11::LongProperty(s, s.root(), "_NET_CURRENT_DESKTOP", XA_CARDINAL) ==
               std::vector<unsigned long>{desktop};
      },
      Left(deadline));
}

// The frame's place at the previous look.
struct Place {
  bool known = false;
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Place&) const = default;
};

// Whether the manager has put a shown window in its place: in the normal state and viewable, not hidden, wholly
// inside its frame (unless shaded: openbox's iconify animation grows the frame from a title bar near the bottom of
// the screen while the client keeps its size), and the frame where it was at the previous look.
bool Placed(x11::Session& session, ::Window window, Place& last) {
  constexpr unsigned kAsked =
      x11::kTree | x11::kWmState | x11::kNetState | x11::kGeometry | x11::kRootOrigin | x11::kAttributes;
  x11::WindowFacts client;
  Place now;
  const auto unplaced = [&] {
    last = Place{};
    return false;
  };
  if (!x11::AskWindow(session, window, kAsked, client) || client.wm_state != x11::kNormalState ||
      client.map_state != IsViewable) {
    return unplaced();
  }
  const auto has = [&](const char* atom) {
    return std::find(client.net_state.begin(), client.net_state.end(), session.atom(atom)) != client.net_state.end();
  };
  if (has("_NET_WM_STATE_HIDDEN")) return unplaced();
  x11::WindowFacts frame = client;
  ::Window frame_id = window;
  for (int depth = 0; frame.parent != session.root(); ++depth) {
    frame_id = frame.parent;
    if (depth == 64 || frame_id == 0 || !x11::AskWindow(session, frame_id, x11::kTree | x11::kGeometry, frame)) {
      return unplaced();
    }
  }
  if (frame_id != window && !has("_NET_WM_STATE_SHADED")) {
    const int left = frame.x + frame.border, top = frame.y + frame.border;
    if (client.root_x - client.border < left || client.root_y - client.border < top ||
        client.root_x + client.width + client.border > left + frame.width ||
        client.root_y + client.height + client.border > top + frame.height) {
      return unplaced();
    }
  }
  now = Place{true, frame.x, frame.y, frame.width, frame.height};
  const bool steady = last == now;
  last = now;
  return steady;
}

// Whether no other managed, mapped window lies above the root child `frame`.
bool OnTop(x11::Session& session, ::Window frame) {
  std::vector<::Window> above;
  bool seen = false;
  for (const x11::TopLevelWindow& w : x11::TopLevelWindows(session)) {  // top first
    if (w.root_child == frame) {
      seen = true;
      break;
    }
    if (w.window != w.root_child) above.push_back(w.root_child);
  }
  if (!seen) return false;
  std::vector<x11::WindowFacts> facts;
  const std::vector<bool> answered = x11::AskWindows(session, above, x11::kAttributes, facts);
  for (std::size_t i = 0; i < above.size(); ++i) {
    if (answered[i] && facts[i].map_state != IsUnmapped) return false;
  }
  return true;
}

// The state a withdrawn window enters when it is mapped, other hints kept.
void SetInitialState(x11::Session& session, ::Window window, int state) {
  XWMHints* hints = XGetWMHints(session.display(), window);
  XWMHints updated = hints != nullptr ? *hints : XWMHints{};
  if (hints != nullptr) XFree(hints);
  updated.flags |= StateHint;
  updated.initial_state = state;
  XSetWMHints(session.display(), window, &updated);
}

bool Withdrawn(x11::Session& session, ::Window window) {
  return !Mapped(session, window) && !x11::Iconic(session, window);
}

void Minimise(x11::Session& session, ::Window window, bool managed) {
  if (!managed) {
    XUnmapWindow(session.display(), window);
    return;
  }
  if (Withdrawn(session, window)) {
    SetInitialState(session, window, IconicState);
    XMapWindow(session.display(), window);
  } else {
    XIconifyWindow(session.display(), window, DefaultScreen(session.display()));
  }
}

}  // namespace

namespace quorvel::platform::x11 {

bool Cloaked(Session& session, ::Window window) {
  WindowFacts facts;
  return AskWindow(session, window, kAttributes, facts) && facts.map_state == IsUnviewable &&
         facts.window_class == InputOutput && Visible(session, window) && !Iconic(session, window);
}

}  // namespace quorvel::platform::x11

BOOL ShowWindow(HWND hWnd, int nCmdShow) try {
  quorvel::platform::detail::CountCall("ShowWindow");
  const ::Window window = x11::ToXWindow(hWnd);
  bool was_visible = false;
  ::Window manager = 0;
  {
    x11::Session session;
    XWindowAttributes attributes;
    if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    was_visible = x11::Visible(session, window);
    manager = x11::IsTopLevel(session, window) ? RunningManager(session) : 0;
    const bool managed = manager != 0;
    x11::ErrorTrap trap(session);
    Display* display = session.display();
    switch (nCmdShow) {
      case SW_HIDE:
        if (managed) {
          XWithdrawWindow(display, window, DefaultScreen(display));
        } else {
          XUnmapWindow(display, window);
        }
        break;
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
      case SW_FORCEMINIMIZE:
        Minimise(session, window, managed);
        break;
      case SW_SHOWNORMAL:
      case SW_RESTORE:
      case SW_SHOWDEFAULT:
        if (managed) {
          x11::SendRootMessage(session, window, "_NET_WM_STATE", kNetStateRemove,
                               static_cast<long>(session.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
                               static_cast<long>(session.atom("_NET_WM_STATE_MAXIMIZED_HORZ")), kSourcePager);
        }
        // Mapping a minimised client is ICCCM's way back to the normal state; a withdrawn one is shown normal
        // whatever state it first asked for.
        if (managed && Withdrawn(session, window)) SetInitialState(session, window, NormalState);
        XMapWindow(display, window);
        break;
      case SW_SHOWMAXIMIZED:
        if (managed && Withdrawn(session, window)) SetInitialState(session, window, NormalState);
        XMapWindow(display, window);
        if (managed) {
          x11::SendRootMessage(session, window, "_NET_WM_STATE", kNetStateAdd,
                               static_cast<long>(session.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
                               static_cast<long>(session.atom("_NET_WM_STATE_MAXIMIZED_HORZ")), kSourcePager);
        }
        break;
      case SW_SHOWNOACTIVATE:
      case SW_SHOW:
      case SW_SHOWNA:
        // Shows a hidden window; a minimised one stays minimised.
        if (managed && Withdrawn(session, window)) SetInitialState(session, window, NormalState);
        if (!x11::Iconic(session, window)) XMapWindow(display, window);
        break;
      default:
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const int error = trap.Sync();
    x11::WindowsChanged();
    if (error != 0) return was_visible ? TRUE : FALSE;
  }
  if (manager != 0) {
    switch (nCmdShow) {
      case SW_HIDE:
        Await(window, [](x11::Session& s, ::Window w) { return !x11::Visible(s, w); }, kOtherWait);
        break;
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
      case SW_FORCEMINIMIZE:
        // The manager marks the window iconic before it hands the activation on: wait for both.
        Await(
            window, [](x11::Session& s, ::Window w) { return x11::Iconic(s, w) && ActiveOf(s) != w; },
            kOtherWait);
        break;
      case SW_SHOWNORMAL:
      case SW_RESTORE:
      case SW_SHOWDEFAULT: {
        // These activate the window too, as on Windows. Awaiting the activation also settles the manager's own
        // reaction to the map (openbox focuses a newly mapped client a moment later, and focusing a client it has
        // minimised meanwhile would restore it again). Done once the window is in its place as well: a manager
        // may animate the restore, and until it is done the window is not where it will be.
        const Clock::time_point deadline = Clock::now() + kRestoreWait;
        last_restored = Restored{};
        // Before it shows: a manager may keep the windows of other desktops iconic (metacity) until they are shown.
        ToDesktopOf(window, deadline);
        const bool shown = Await(
            window, [](x11::Session& s, ::Window w) { return !x11::Iconic(s, w) && Mapped(s, w); }, Left(deadline));
        const bool refused_before = ActivationRefusals().Has(window, manager);
        bool active = false, placed = false;
        if (shown) {
          {
            x11::Session session;
            x11::SendRootMessage(session, window, "_NET_ACTIVE_WINDOW", kSourcePager, CurrentTime,
                                 static_cast<long>(ActiveOf(session)));
          }
          Place last;
          const Clock::time_point activation_deadline =
              refused_before ? std::min(deadline, Clock::now() + kRefusedWait) : deadline;
          Await(
              window,
              [&](x11::Session& s, ::Window w) {
                active = active || ForegroundOf(s) == w;
                placed = Placed(s, w, last);
                return placed && (active || Clock::now() >= activation_deadline);
              },
              Left(deadline));
        }
        // A restore that ran out of time before the window was in its place (a slow animation on a busy machine)
        // leaves the next steps their own waits.
        if (placed) last_restored = Restored{window, deadline};
        if (active || !refused_before) ActivationRefusals().Note(window, manager, !active);
        break;
      }
      default:
        Await(window, [](x11::Session& s, ::Window w) { return x11::Visible(s, w); }, kOtherWait);
        break;
    }
  }
  return was_visible ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

HWND GetForegroundWindow() try {
  quorvel::platform::detail::CountCall("GetForegroundWindow");
  x11::Session session;
  return x11::ToHwnd(ForegroundOf(session));
} QUORVEL_WIN32_OUT_OF_MEMORY(static_cast<HWND>(nullptr))

BOOL SetForegroundWindow(HWND hWnd) try {
  quorvel::platform::detail::CountCall("SetForegroundWindow");
  ::Window top = 0;
  ::Window manager = 0;
  {
    x11::Session session;
    top = x11::TopLevelOf(session, x11::ToXWindow(hWnd));
    if (top == 0) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    manager = RunningManager(session);
    if (ForegroundOf(session) == top) {
      if (manager != 0) ActivationRefusals().Note(top, manager, false);
      return TRUE;
    }
    x11::WindowsChanged();
    if (manager == 0) {
      // Raising the client is the request a manager without EWMH honours (ICCCM); without one it is the root child.
      x11::ErrorTrap trap(session);
      XRaiseWindow(session.display(), top);
      if (const ::Window frame = x11::RootChildOf(session, top); frame != top && frame != 0) {
        XRaiseWindow(session.display(), frame);
      }
      XSetInputFocus(session.display(), top, RevertToParent, CurrentTime);
      // BadMatch: the window is not viewable and cannot take the focus.
      return trap.Sync() == 0 ? TRUE : FALSE;
    }
  }
  const bool refused_before = ActivationRefusals().Has(top, manager);
  bool cut = false;
  const milliseconds bound = WaitAfterRestore(top, kActivationWait, cut);
  const Clock::time_point deadline = Clock::now() + bound;
  ToDesktopOf(top, deadline);
  {
    x11::Session session;
    x11::SendRootMessage(session, top, "_NET_ACTIVE_WINDOW", kSourcePager, CurrentTime,
                         static_cast<long>(ActiveOf(session)));
  }
  // The activation keeps a short wait of its own after a desktop switch that took the rest, unless cut short.
  const milliseconds wait = cut ? Left(deadline) : std::max(kRefusedWait, Left(deadline));
  const bool active = Await(
      top, [](x11::Session& s, ::Window w) { return ForegroundOf(s) == w; },
      refused_before ? std::min(kRefusedWait, wait) : wait);
  // A wait cut short proves no refusal.
  if (active || (!refused_before && !cut)) ActivationRefusals().Note(top, manager, !active);
  return active ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL BringWindowToTop(HWND hWnd) try {
  quorvel::platform::detail::CountCall("BringWindowToTop");
  const ::Window window = x11::ToXWindow(hWnd);
  ::Window frame = 0;
  ::Window manager = 0;
  {
    x11::Session session;
    XWindowAttributes attributes;
    if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    const bool top_level = x11::IsTopLevel(session, window);
    manager = top_level ? RunningManager(session) : 0;
    x11::WindowsChanged();
    if (manager == 0) {
      // A child window rises among its siblings, a top-level window among the root's children: directly, or through
      // a manager without EWMH that honours the client's request.
      x11::ErrorTrap trap(session);
      XRaiseWindow(session.display(), window);
      if (top_level) {
        if (const ::Window frame = x11::RootChildOf(session, window); frame != window && frame != 0) {
          XRaiseWindow(session.display(), frame);
        }
      }
      return trap.Sync() == 0 ? TRUE : FALSE;
    }
    frame = x11::RootChildOf(session, window);
    x11::SendRootMessage(session, window, "_NET_RESTACK_WINDOW", kSourcePager, None, kRestackAbove);
    if (!Mapped(session, frame)) return TRUE;  // a hidden window keeps its place until shown
  }
  // A manager that would not activate the window (or has stopped answering) is not given the full wait to raise it
  // either.
  const bool refused_before = RaiseRefusals().Has(window, manager);
  const bool hurry = refused_before || ActivationRefusals().Has(window, manager);
  bool cut = false;
  const bool raised = Await(frame, OnTop, WaitAfterRestore(window, hurry ? kRefusedWait : kActivationWait, cut));
  if (raised || (!refused_before && !cut)) RaiseRefusals().Note(window, manager, !raised);
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)
