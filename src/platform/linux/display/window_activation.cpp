// Showing, minimising, restoring, activating and raising windows. With a window manager these are requests to it
// (ICCCM WM_CHANGE_STATE and mapping, EWMH _NET_ACTIVE_WINDOW, _NET_WM_STATE, _NET_RESTACK_WINDOW, sent as a pager
// would so that focus-stealing prevention lets them through), each awaited for a bounded time so that the call
// returns with the change made, as on Windows. Without one, plain Xlib: mapping, raising and input focus; there is
// no minimised state then, so minimising only hides the window.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

namespace {

constexpr long kSourcePager = 2;
constexpr long kNetStateRemove = 0;
constexpr long kNetStateAdd = 1;
constexpr long kRestackAbove = 0;  // X's Above

bool Mapped(x11::Session& session, ::Window window) {
  XWindowAttributes attributes;
  return x11::Attributes(session, window, attributes) && attributes.map_state != IsUnmapped;
}

template <typename Check>
bool Await(::Window window, Check check) {
  return x11::WaitFor([&] {
    x11::Session session;
    return check(session, window);
  });
}

::Window ForegroundOf(x11::Session& session) {
  x11::DesktopFacts desktop;
  if (!x11::AskDesktop(session, desktop)) return 0;
  if (desktop.wm_check != 0) {
    // Whether the manager still runs (its check window names itself) and whether the window it calls active
    // exists, in one round trip.
    std::vector<x11::WindowFacts> facts;
    const std::vector<bool> answered =
        x11::AskWindows(session, {desktop.wm_check, desktop.active}, x11::kWmCheck, facts);
    if (answered[0] && facts[0].wm_check == desktop.wm_check) return answered[1] ? desktop.active : 0;
  }
  const ::Window focus = desktop.focus;
  if (focus == None || focus == PointerRoot || focus == session.root()) return 0;
  return x11::TopLevelOf(session, focus);
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

BOOL ShowWindow(HWND hWnd, int nCmdShow) try {
  quorvel::platform::detail::CountCall("ShowWindow");
  const ::Window window = x11::ToXWindow(hWnd);
  bool was_visible = false;
  bool managed = false;
  {
    x11::Session session;
    XWindowAttributes attributes;
    if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    was_visible = x11::Visible(session, window);
    managed = x11::IsTopLevel(session, window) && x11::WindowManagerRunning(session);
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
    if (trap.Sync() != 0) return was_visible ? TRUE : FALSE;
  }
  if (managed) {
    switch (nCmdShow) {
      case SW_HIDE:
        Await(window, [](x11::Session& s, ::Window w) { return !x11::Visible(s, w); });
        break;
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
      case SW_FORCEMINIMIZE:
        // The manager marks the window iconic before it hands the activation on: wait for both.
        Await(window, [](x11::Session& s, ::Window w) { return x11::Iconic(s, w) && ForegroundOf(s) != w; });
        break;
      case SW_SHOWNORMAL:
      case SW_RESTORE:
      case SW_SHOWDEFAULT:
        // These activate the window too, as on Windows. Awaiting the activation also settles the manager's own
        // reaction to the map (openbox focuses a newly mapped client a moment later, and focusing a client it has
        // minimised meanwhile would restore it again).
        if (Await(window, [](x11::Session& s, ::Window w) { return !x11::Iconic(s, w) && Mapped(s, w); })) {
          {
            x11::Session session;
            x11::SendRootMessage(session, window, "_NET_ACTIVE_WINDOW", kSourcePager, CurrentTime,
                                 static_cast<long>(ForegroundOf(session)));
          }
          Await(window, [](x11::Session& s, ::Window w) { return ForegroundOf(s) == w; });
        }
        break;
      default:
        Await(window, [](x11::Session& s, ::Window w) { return x11::Visible(s, w); });
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
  {
    x11::Session session;
    top = x11::TopLevelOf(session, x11::ToXWindow(hWnd));
    if (top == 0) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    if (ForegroundOf(session) == top) return TRUE;
    if (!x11::WindowManagerRunning(session)) {
      x11::ErrorTrap trap(session);
      XRaiseWindow(session.display(), x11::RootChildOf(session, top));
      XSetInputFocus(session.display(), top, RevertToParent, CurrentTime);
      // BadMatch: the window is not viewable and cannot take the focus.
      return trap.Sync() == 0 ? TRUE : FALSE;
    }
    x11::SendRootMessage(session, top, "_NET_ACTIVE_WINDOW", kSourcePager, CurrentTime,
                         static_cast<long>(ForegroundOf(session)));
  }
  return Await(top, [](x11::Session& s, ::Window w) { return ForegroundOf(s) == w; }) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL BringWindowToTop(HWND hWnd) try {
  quorvel::platform::detail::CountCall("BringWindowToTop");
  const ::Window window = x11::ToXWindow(hWnd);
  ::Window frame = 0;
  {
    x11::Session session;
    XWindowAttributes attributes;
    if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    const bool top_level = x11::IsTopLevel(session, window);
    if (!top_level || !x11::WindowManagerRunning(session)) {
      // A child window rises among its siblings, an unmanaged top-level window among the root's children.
      x11::ErrorTrap trap(session);
      XRaiseWindow(session.display(), window);
      return trap.Sync() == 0 ? TRUE : FALSE;
    }
    frame = x11::RootChildOf(session, window);
    x11::SendRootMessage(session, window, "_NET_RESTACK_WINDOW", kSourcePager, None, kRestackAbove);
    if (!Mapped(session, frame)) return TRUE;  // a hidden window keeps its place until shown
  }
  // Done when no other managed, mapped window lies above the frame.
  Await(frame, [](x11::Session& s, ::Window f) {
    const auto children = x11::RootChildren(s);
    bool above = false;
    for (::Window child : children) {
      if (above && child != f && Mapped(s, child) && x11::ClientOf(s, child) != child) return false;
      above = above || child == f;
    }
    return above;
  });
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)
