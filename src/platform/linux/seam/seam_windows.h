// Test seam of the window, process and monitor layer. Included by tests only. Failures of single calls are armed
// with seam::FailNext (seam.h): "GetMonitorInfoW", "OpenProcess" and "QueryFullProcessImageNameW" fail with the
// given Win32 error; for the HRESULT functions use FailNextHResult.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/linux/display/win32_windows.h"

namespace quorvel::platform::seam {

// The next call of "DwmGetWindowAttribute" or "GetDpiForMonitor" returns `result` before doing anything.
void FailNextHResult(std::string_view function, HRESULT result);

// GetDpiForMonitor answers these values for every monitor and DPI type until Reset.
void ChooseDpi(UINT x, UINT y);

// Sleep returns at once and only adds its argument to VirtualMilliseconds().
void UseVirtualTime(bool on);
unsigned long long VirtualMilliseconds();

// Process handles open (OpenProcess without CloseHandle).
std::size_t OpenProcessHandles();

// Calls made of a function of this layer (e.g. "OpenProcess", "Sleep", "EnumWindows") since the last Reset.
std::size_t Calls(std::string_view function);

// Restores the defaults above and zeroes the counts of calls (seam::Reset does not).
void ResetWindows();

}  // namespace quorvel::platform::seam
