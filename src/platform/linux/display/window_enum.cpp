// Window identity and hierarchy: IsWindow, EnumWindows and GetParent over the X window tree. EnumWindows takes a
// snapshot of the top-level windows (top of the stacking order first, frames resolved to their clients, the window
// manager's own windows left out) and calls back without holding the connection, so the callback may call any
// function of the layer; what the callback asks about those windows is answered from facts asked for all of them at
// once (x11_windows.h).
#include <X11/Xutil.h>

#include <optional>

#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

BOOL IsWindow(HWND hWnd) try {
  quorvel::platform::detail::CountCall("IsWindow");
  x11::Session session;
  XWindowAttributes attributes;
  return x11::Attributes(session, x11::ToXWindow(hWnd), attributes) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) try {
  quorvel::platform::detail::CountCall("EnumWindows");
  if (lpEnumFunc == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::optional<x11::EnumerationScope> scope;
  {
    x11::Session session;
    if (!session) return Fail(ERROR_NOT_READY, FALSE);
    scope.emplace(session, x11::TopLevelWindows(session));
  }
  for (const x11::TopLevelWindow& window : scope->windows()) {
    if (!lpEnumFunc(x11::ToHwnd(window.window), lParam)) return FALSE;
  }
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

HWND GetParent(HWND hWnd) try {
  quorvel::platform::detail::CountCall("GetParent");
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  const x11::SnapshotFacts* known = x11::SnapshotOf(session, window);
  if (known != nullptr && (!known->exists || known->top_level)) {
    if (!known->exists) return Fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HWND>(nullptr));
    const ::Window owner = known->owner;
    if (owner == 0 || owner == session.root() || owner == window || !known->owner_exists) return nullptr;
    return x11::ToHwnd(owner);
  }
  // Parent, WM_STATE (together: whether it is top-level) and owner in one round trip.
  x11::WindowFacts facts;
  if (!x11::AskWindow(session, window, x11::kTree | x11::kWmState | x11::kTransientFor, facts) ||
      facts.parent == 0) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HWND>(nullptr));
  }
  const bool top_level = window != session.root() && (facts.parent == session.root() || facts.wm_state >= 0);
  if (!top_level) return x11::ToHwnd(facts.parent);
  // A top-level window's "parent" is its owner; WM_TRANSIENT_FOR naming the root means a group, not an owner.
  const ::Window owner = facts.transient_for;
  if (owner == 0 || owner == session.root() || owner == window) return nullptr;
  XWindowAttributes attributes;
  if (!x11::Attributes(session, owner, attributes)) return nullptr;
  return x11::ToHwnd(owner);
} QUORVEL_WIN32_OUT_OF_MEMORY(static_cast<HWND>(nullptr))
