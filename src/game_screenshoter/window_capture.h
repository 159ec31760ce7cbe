// capture_window: brings a window on screen and captures the whole output of the monitor that shows it.
#pragma once

#include <cstdint>
#include <optional>

#include "game_screenshoter/window_types.h"
#include "platform/win32.h"

// Where a window lies on the desktop, and the monitor that shows it.
struct WindowRects {
  HMONITOR monitor = nullptr;
  RECT window_rect = {0, 0, 0, 0};
};

// The monitor of `hwnd` and its rectangle in desktop pixels: the extended frame bounds as they are, else the
// window rectangle scaled by the monitor's horizontal effective DPI / 96. No value when the window is on no
// monitor, the monitor cannot be queried, or no rectangle can be read.
std::optional<WindowRects> GetWindowRects(HWND hwnd);

// Restores `hwnd` if minimised and activates it if it is not the foreground window (100 ms pause after each),
// then captures its monitor. `area` is the window's rectangle relative to the output's top-left corner, not
// clamped to the image. No value for 0, a handle that names no window, or any failure (the capture logs its own).
std::optional<WindowScreenshot> capture_window(std::uint64_t hwnd);
