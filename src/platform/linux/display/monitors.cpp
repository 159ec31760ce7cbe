// Monitors of the desktop (one per RandR monitor, x11_display.h): which one shows a window, its rectangle and
// flags, and its DPI. Effective DPI follows the monitor's physical size the way Windows picks a scale factor: the
// raw DPI rounded to the nearest step of 25% (24 DPI), never below 100% (96); 96 when the size is unknown.
#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

namespace {

long long Overlap(const RECT& a, const RECT& b) {
  const long long w = std::min(a.right, b.right) - std::max(a.left, b.left);
  const long long h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return (w > 0 && h > 0) ? w * h : 0;
}

long long DistanceSquared(const RECT& a, const RECT& b) {
  const long long dx = std::max({0L, static_cast<long>(b.left) - a.right, static_cast<long>(a.left) - b.right});
  const long long dy = std::max({0L, static_cast<long>(b.top) - a.bottom, static_cast<long>(a.top) - b.bottom});
  return dx * dx + dy * dy;
}

bool Find(const std::vector<x11::Monitor>& monitors, HMONITOR handle, x11::Monitor& found) {
  for (const auto& m : monitors) {
    if (m.handle == handle) {
      found = m;
      return true;
    }
  }
  return false;
}

UINT RawDpi(int pixels, int millimetres) {
  if (millimetres <= 0 || pixels <= 0) return 96;
  return static_cast<UINT>(std::lround(pixels * 25.4 / millimetres));
}

}  // namespace

HMONITOR MonitorFromWindow(HWND hwnd, DWORD dwFlags) try {
  quorvel::platform::detail::CountCall("MonitorFromWindow");
  x11::Session session;
  RECT rect;
  if (!x11::OuterRect(session, x11::ToXWindow(hwnd), rect)) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HMONITOR>(nullptr));
  }
  const auto monitors = x11::Monitors(session);
  const x11::Monitor* best = nullptr;
  long long best_area = 0;
  for (const auto& m : monitors) {
    const long long area = Overlap(rect, m.rect);
    if (area > best_area) {
      best = &m;
      best_area = area;
    }
  }
  if (best != nullptr) return best->handle;
  if (dwFlags == MONITOR_DEFAULTTOPRIMARY) {
    for (const auto& m : monitors) {
      if (m.primary) return m.handle;
    }
  } else if (dwFlags == MONITOR_DEFAULTTONEAREST) {
    long long nearest = std::numeric_limits<long long>::max();
    for (const auto& m : monitors) {
      const long long distance = DistanceSquared(rect, m.rect);
      if (distance < nearest) {
        best = &m;
        nearest = distance;
      }
    }
    if (best != nullptr) return best->handle;
  }
  return nullptr;
} QUORVEL_WIN32_OUT_OF_MEMORY(static_cast<HMONITOR>(nullptr))

BOOL GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) try {
  quorvel::platform::detail::CountCall("GetMonitorInfoW");
  QUORVEL_SEAM_FAIL("GetMonitorInfoW", FALSE);
  if (lpmi == nullptr || (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != sizeof(MONITORINFOEXW))) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  x11::Session session;
  x11::Monitor monitor;
  if (!Find(x11::Monitors(session), hMonitor, monitor)) return Fail(ERROR_INVALID_MONITOR_HANDLE, FALSE);
  lpmi->rcMonitor = monitor.rect;
  lpmi->rcWork = monitor.rect;  // no panel reserves space here
  lpmi->dwFlags = monitor.primary ? MONITORINFOF_PRIMARY : 0;
  if (lpmi->cbSize == sizeof(MONITORINFOEXW)) {
    // The device name is the RandR monitor's name.
    auto* ex = static_cast<MONITORINFOEXW*>(lpmi);
    std::wstring name;
    x11::ErrorTrap trap(session);
    char* atom_name = session.alive() ? XGetAtomName(session.display(),
                                                     static_cast<Atom>(reinterpret_cast<std::uintptr_t>(hMonitor)))
                                      : nullptr;
    if (atom_name != nullptr) {
      name = quorvel::platform::Utf8ToWide(atom_name);
      XFree(atom_name);
    }
    name.resize(std::min<std::size_t>(name.size(), CCHDEVICENAME - 1));
    std::fill(std::begin(ex->szDevice), std::end(ex->szDevice), L'\0');
    std::copy(name.begin(), name.end(), ex->szDevice);
  }
  return TRUE;
} QUORVEL_WIN32_OUT_OF_MEMORY(FALSE)

HRESULT GetDpiForMonitor(HMONITOR hmonitor, MONITOR_DPI_TYPE dpiType, UINT* dpiX, UINT* dpiY) try {
  quorvel::platform::detail::CountCall("GetDpiForMonitor");
  QUORVEL_SEAM_FAIL_HRESULT("GetDpiForMonitor");
  if (dpiX == nullptr || dpiY == nullptr) return E_INVALIDARG;
  if (dpiType != MDT_EFFECTIVE_DPI && dpiType != MDT_ANGULAR_DPI && dpiType != MDT_RAW_DPI) return E_INVALIDARG;
  x11::Monitor monitor;
  if (!Find(x11::Monitors(), hmonitor, monitor)) return E_INVALIDARG;
  UINT chosen_x = 0, chosen_y = 0;
  if (quorvel::platform::detail::SeamChosenDpi(chosen_x, chosen_y)) {
    *dpiX = chosen_x;
    *dpiY = chosen_y;
    return S_OK;
  }
  const UINT raw_x = RawDpi(monitor.rect.right - monitor.rect.left, monitor.mm_width);
  const UINT raw_y = RawDpi(monitor.rect.bottom - monitor.rect.top, monitor.mm_height);
  if (dpiType == MDT_EFFECTIVE_DPI) {
    // One scale factor for both axes, as Windows has.
    const UINT effective = std::max<UINT>(96, static_cast<UINT>(std::lround(raw_x / 24.0)) * 24);
    *dpiX = effective;
    *dpiY = effective;
  } else {
    *dpiX = raw_x;  // angular DPI is not known apart from the raw one
    *dpiY = raw_y;
  }
  return S_OK;
} QUORVEL_HRESULT_OUT_OF_MEMORY
