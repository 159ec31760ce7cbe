// The one include through which subsystem code reaches the Win32 API. On Windows it is the SDK; elsewhere it is
// our own implementation of the same names over the host's facilities (see platform/linux/).
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// winnt.h's DELETE access right is never used here, and as a macro it would hide FsWatchAction::DELETE.
#undef DELETE
// COM, known folders, the shell's item images and GDI+; lean-and-mean leaves them out of windows.h.
#include <objbase.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <shobjidl.h>
#include <gdiplus.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <dwmapi.h>
#include <shellscalingapi.h>
#include <wchar.h>
#else
// Grouped by area under platform/linux/: base/, files/, display/, shell/ (and seam/, for tests only).
#include "platform/linux/base/win32_base.h"
#include "platform/linux/files/win32_files.h"
#include "platform/linux/shell/win32_shell.h"
#include "platform/linux/display/win32_display.h"
#endif

#include "platform/path.h"
