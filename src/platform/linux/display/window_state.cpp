// Window state and geometry: visibility, minimised state, client and outer rectangles, and DWM's extended frame
// bounds. The outer rectangle is the frame the window manager made (with any invisible resize borders, as Windows'
// window rectangle has them), or the window itself; the extended frame bounds leave invisible borders out, as on
// Windows: where the manager publishes the frame's extents, they are the client grown by them.
#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

BOOL IsWindowVisible(HWND hWnd) try {
  quorvel::platform::detail::CountCall("IsWindowVisible");
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  if (const x11::SnapshotFacts* known = x11::SnapshotOf(session, window, /*visibility=*/true); known != nullptr) {
    // As Visible decides it, for a window whose answer needs no parent further up.
    if (!known->exists || known->window_class == InputOnly) return FALSE;
    const bool mapped = known->map_state != IsUnmapped;
    if (known->wm_state >= 0) return mapped || known->wm_state == x11::kIconicState ? TRUE : FALSE;
    if (known->top_level) return mapped ? TRUE : FALSE;  // a root child
  }
  return x11::Visible(session, window) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL IsIconic(HWND hWnd) try {
  quorvel::platform::detail::CountCall("IsIconic");
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  const x11::SnapshotFacts* known = x11::SnapshotOf(session, window);
  bool iconic = false;
  if (known != nullptr && (!known->exists || known->top_level) && x11::IconicFrom(*known, iconic)) {
    return iconic ? TRUE : FALSE;
  }
  return x11::Iconic(session, window) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) try {
  quorvel::platform::detail::CountCall("GetClientRect");
  if (lpRect == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  const x11::SnapshotFacts* known = x11::SnapshotOf(session, window);
  bool iconic = false;
  if (known != nullptr && (!known->exists || known->top_level) && x11::IconicFrom(*known, iconic)) {
    if (!known->exists) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    *lpRect = iconic ? RECT{0, 0, 0, 0} : RECT{0, 0, known->width, known->height};
    return TRUE;
  }
  XWindowAttributes attributes;
  if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  // A minimised window has no client area on Windows.
  if (x11::Iconic(session, window)) {
    *lpRect = RECT{0, 0, 0, 0};
  } else {
    *lpRect = RECT{0, 0, attributes.width, attributes.height};
  }
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) try {
  quorvel::platform::detail::CountCall("GetWindowRect");
  if (lpRect == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  x11::Session session;
  RECT rect;
  if (!x11::OuterRect(session, x11::ToXWindow(hWnd), rect)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  *lpRect = rect;
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

HRESULT DwmGetWindowAttribute(HWND hwnd, DWORD dwAttribute, PVOID pvAttribute, DWORD cbAttribute) try {
  quorvel::platform::detail::CountCall("DwmGetWindowAttribute");
  QUORVEL_SEAM_FAIL_HRESULT("DwmGetWindowAttribute");
  if (dwAttribute == DWMWA_CLOAKED && pvAttribute != nullptr && cbAttribute == sizeof(DWORD)) {
    x11::Session session;
    XWindowAttributes attributes;
    if (!x11::Attributes(session, x11::ToXWindow(hwnd), attributes)) return E_HANDLE;
    *static_cast<DWORD*>(pvAttribute) = x11::Cloaked(session, x11::ToXWindow(hwnd)) ? DWM_CLOAKED_SHELL : 0;
    return S_OK;
  }
  if (dwAttribute != DWMWA_EXTENDED_FRAME_BOUNDS || pvAttribute == nullptr || cbAttribute != sizeof(RECT)) {
    return E_INVALIDARG;
  }
  x11::Session session;
  RECT rect;
  if (!x11::VisibleFrameRect(session, x11::ToXWindow(hwnd), rect)) return E_HANDLE;
  *static_cast<RECT*>(pvAttribute) = rect;
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY
