// Windows, processes, monitors, DWM frame bounds and monitor DPI: the Win32 surface the window search and the
// window capture call, implemented over X11 (x11_display.h): an HWND is an X window id, an HMONITOR a RandR
// monitor's name atom, a process handle an entry of the handle table.
#pragma once

#include <cstddef>

#include "platform/linux/base/win32_types.h"
#include "platform/linux/base/win32_com.h"

using WPARAM = std::uintptr_t;
using LPARAM = LONG_PTR;
using PDWORD = DWORD*;
#define CALLBACK
using WNDENUMPROC = BOOL(CALLBACK*)(HWND, LPARAM);

// ShowWindow commands.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10
#define SW_FORCEMINIMIZE 11

#define MONITOR_DEFAULTTONULL 0x00000000u
#define MONITOR_DEFAULTTOPRIMARY 0x00000001u
#define MONITOR_DEFAULTTONEAREST 0x00000002u
#define MONITORINFOF_PRIMARY 0x00000001u
#define CCHDEVICENAME 32

struct MONITORINFO {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
};
using LPMONITORINFO = MONITORINFO*;
struct MONITORINFOEXW : MONITORINFO {
  WCHAR szDevice[CCHDEVICENAME];
};
static_assert(sizeof(MONITORINFO) == 40);

// Process access rights.
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define SYNCHRONIZE 0x00100000u
#define PROCESS_ALL_ACCESS 0x001FFFFFu
#define PROCESS_NAME_NATIVE 0x00000001u

#define DWMWA_EXTENDED_FRAME_BOUNDS 9u
#define DWMWA_CLOAKED 14u
#define DWM_CLOAKED_SHELL 0x00000002u

enum MONITOR_DPI_TYPE { MDT_EFFECTIVE_DPI = 0, MDT_ANGULAR_DPI = 1, MDT_RAW_DPI = 2, MDT_DEFAULT = MDT_EFFECTIVE_DPI };

#define ERROR_NOT_FOUND 1168u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_INVALID_MONITOR_HANDLE 1461u

// USER32
BOOL IsWindow(HWND hWnd);
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
BOOL IsWindowVisible(HWND hWnd);
HWND GetParent(HWND hWnd);
BOOL GetClientRect(HWND hWnd, LPRECT lpRect);
BOOL GetWindowRect(HWND hWnd, LPRECT lpRect);
DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
BOOL IsIconic(HWND hWnd);
BOOL ShowWindow(HWND hWnd, int nCmdShow);
HWND GetForegroundWindow();
BOOL SetForegroundWindow(HWND hWnd);
BOOL BringWindowToTop(HWND hWnd);
HMONITOR MonitorFromWindow(HWND hwnd, DWORD dwFlags);
BOOL GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi);

// KERNEL32 (CloseHandle: win32_files.h)
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize);
void Sleep(DWORD dwMilliseconds);

// dwmapi, shcore
HRESULT DwmGetWindowAttribute(HWND hwnd, DWORD dwAttribute, PVOID pvAttribute, DWORD cbAttribute);
HRESULT GetDpiForMonitor(HMONITOR hmonitor, MONITOR_DPI_TYPE dpiType, UINT* dpiX, UINT* dpiY);

