// Window state and geometry: visibility, minimised state, client and outer rectangles, and DWM's extended frame
// bounds, which here are the outer rectangle (the frame the window manager draws, or the window itself).
#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

BOOL IsWindowVisible(HWND hWnd) try {
  quorvel::platform::detail::CountCall("IsWindowVisible");
  x11::Session session;
  return x11::Visible(session, x11::ToXWindow(hWnd)) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL IsIconic(HWND hWnd) try {
  quorvel::platform::detail::CountCall("IsIconic");
  x11::Session session;
  return x11::Iconic(session, x11::ToXWindow(hWnd)) ? TRUE : FALSE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) try {
  quorvel::platform::detail::CountCall("GetClientRect");
  if (lpRect == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
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
  if (dwAttribute != DWMWA_EXTENDED_FRAME_BOUNDS || pvAttribute == nullptr || cbAttribute != sizeof(RECT)) {
    return E_INVALIDARG;
  }
  x11::Session session;
  RECT rect;
  if (!x11::OuterRect(session, x11::ToXWindow(hwnd), rect)) return E_HANDLE;
  *static_cast<RECT*>(pvAttribute) = rect;
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY
