// The search for a game's window: the first top-level window, in the platform's enumeration order, that is
// visible, has no parent, has a client area of at least 10 by 10 and belongs to a process whose executable path
// begins with the install directory (compared without regard to case, as a plain prefix).
#pragma once

#include <cstdint>
#include <map>
#include <string_view>

#include "platform/win32.h"

// The state of one search, handed to the enumeration callback.
struct EnumWindowsContext {
  std::wstring_view install_path;    // borrowed for the search
  std::map<DWORD, bool> pid_cache;   // verdict per process whose executable path was read
  HWND found = nullptr;
};

// `prev_hwnd` if it still names a window (nothing else about it is tested); else the first match; else 0, with
// one warning in the log.
std::uint64_t FindGameWindow(std::wstring_view install_path, std::uint64_t prev_hwnd);

// The first matching top-level window, or null.
HWND FindWindowByInstallPath(std::wstring_view install_path);

// EnumWindows callback; `param` is the EnumWindowsContext. FALSE stops the enumeration at the first match.
// Never lets an exception into the platform's enumeration.
BOOL CALLBACK GameWindowEnumProc(HWND hwnd, LPARAM param) noexcept;

// Whether `hwnd` is the game's window. Reads each process's executable path at most once per search, when the
// read succeeds, and keeps its verdict in `pid_cache`.
bool IsGameProcessWindow(HWND hwnd, std::wstring_view install_path, std::map<DWORD, bool>& pid_cache);
