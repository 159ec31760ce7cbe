// Windows, monitors, processes and desktop duplication over X11: window questions go to the X server through
// Xlib and batched XCB requests (x11_display.h), monitors are RandR monitors, a window's process comes from the
// X resource extension, and D3D11/DXGI duplication reads the monitor's area with XShm (screen_grab.h).
#pragma once

#include "platform/linux/display/win32_windows.h"
#include "platform/linux/display/win32_d3d.h"
