#include "game_screenshoter/window_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "game_screenshoter/dxgi_screenshot.h"
#include "platform/log.h"

namespace {

using Clock = std::chrono::steady_clock;
// Lets the window manager and the compositor catch up after a restore or raise: a pause after each, both together
// at most kSettleBudget.
constexpr std::chrono::milliseconds kSettle{100};
constexpr std::chrono::milliseconds kSettleBudget{2 * kSettle};

// The pause after a step that began at `step`, the call at `start`. The time the platform already spent waiting for
// the change counts toward it (a window manager's restore may take that long by itself), so that the waits of one
// call never add up to more than the budget whatever the window manager does.
void Settle(Clock::time_point step, Clock::time_point start) {
  const Clock::time_point end = std::min(step + kSettle, start + kSettleBudget);
  const Clock::time_point now = Clock::now();
  if (now >= end) return;
  Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count()));
}

// Whether the window is on screen: shown, not minimised, and not cloaked (DWM hides a window on another virtual
// desktop that way).
bool OnScreen(HWND hwnd) {
  if (!IsWindowVisible(hwnd) || IsIconic(hwnd)) return false;
  DWORD cloaked = 0;
  return FAILED(DwmGetWindowAttribute(hwnd, DWMWA_CLOAKED, &cloaked, sizeof(cloaked))) || cloaked == 0;
}

// Toward zero, as a float-to-int conversion does; saturated instead of undefined beyond the range.
LONG TruncateToLong(float value) {
  if (!(value > static_cast<float>(std::numeric_limits<LONG>::min()))) {
    return std::isnan(value) ? 0 : std::numeric_limits<LONG>::min();
  }
  if (!(value < static_cast<float>(std::numeric_limits<LONG>::max()))) return std::numeric_limits<LONG>::max();
  return static_cast<LONG>(value);
}

std::int32_t RotationDegrees(DXGI_MODE_ROTATION rotation) {
  switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90:
      return 90;
    case DXGI_MODE_ROTATION_ROTATE180:
      return 180;
    case DXGI_MODE_ROTATION_ROTATE270:
      return 270;
    default:
      return 0;
  }
}

}  // namespace

std::optional<WindowRects> GetWindowRects(HWND hwnd) {
  WindowRects rects;
  rects.monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONULL);
  if (rects.monitor == nullptr) return std::nullopt;

  // Only confirms that the monitor can be queried.
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(rects.monitor, &info)) return std::nullopt;

  // The extended frame bounds are already in physical pixels.
  RECT rect = {0, 0, 0, 0};
  if (SUCCEEDED(DwmGetWindowAttribute(hwnd, DWMWA_EXTENDED_FRAME_BOUNDS, &rect, sizeof(rect)))) {
    rects.window_rect = rect;
    return rects;
  }

  if (!GetWindowRect(hwnd, &rect)) return std::nullopt;
  UINT dpi_x = 0;
  UINT dpi_y = 0;
  if (SUCCEEDED(GetDpiForMonitor(rects.monitor, MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y))) {
    // Single precision, the horizontal value for both axes.
    const auto scale = static_cast<float>(dpi_x / 96.0);
    rect.left = TruncateToLong(static_cast<float>(rect.left) * scale);
    rect.top = TruncateToLong(static_cast<float>(rect.top) * scale);
    rect.right = TruncateToLong(static_cast<float>(rect.right) * scale);
    rect.bottom = TruncateToLong(static_cast<float>(rect.bottom) * scale);
  }
  rects.window_rect = rect;
  return rects;
}

std::optional<WindowScreenshot> capture_window(std::uint64_t hwnd_value) {
  if (hwnd_value == 0) return std::nullopt;
  const auto hwnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(hwnd_value));
  if (!IsWindow(hwnd)) return std::nullopt;

  // Refusals are not failures: the capture shows whatever is on screen.
  const Clock::time_point start = Clock::now();
  if (IsIconic(hwnd)) {
    ShowWindow(hwnd, SW_RESTORE);
    Settle(start, start);
  }
  if (GetForegroundWindow() != hwnd) {
    const Clock::time_point step = Clock::now();
    SetForegroundWindow(hwnd);
    BringWindowToTop(hwnd);
    Settle(step, start);
  }

  const std::optional<WindowRects> rects = GetWindowRects(hwnd);
  if (!rects) return std::nullopt;
  std::optional<DxgiCapture> capture = dxgiScreenshot(rects->monitor);
  if (!capture) return std::nullopt;
  // Checked once the pixels are read: a window that the restore or the activation left off screen is not in them.
  if (!OnScreen(hwnd)) {
    ::quorvel::log::Narrow(QUORVEL_LOG_SITE("capture_window"), spdlog::level::err,
                           "RuduVizozadoz: the window is not on screen, hwnd={}", hwnd_value);
    return std::nullopt;
  }

  const RECT& window = rects->window_rect;
  const RECT& output = capture->desktop_rect;
  WindowScreenshot shot;
  shot.image_blob = std::move(capture->blob);
  shot.width = capture->width;
  shot.height = capture->height;
  shot.row_pitch = capture->row_pitch;
  shot.rotation = RotationDegrees(capture->rotation);
  // Wrapping arithmetic: the edges of real windows never come near the limits, and a signed overflow must not
  // be undefined.
  const auto diff = [](LONG a, LONG b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
  };
  shot.area.x = diff(window.left, output.left);
  shot.area.y = diff(window.top, output.top);
  shot.area.w = diff(window.right, window.left);
  shot.area.h = diff(window.bottom, window.top);
  return shot;
}
