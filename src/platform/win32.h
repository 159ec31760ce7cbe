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
#include <d3d11.h>
#include <dxgi1_2.h>
#include <dwmapi.h>
#include <shellscalingapi.h>
#include <wchar.h>
#else
#include "platform/linux/win32_types.h"
#include "platform/linux/win32_com.h"
#include "platform/linux/win32_files.h"
#include "platform/linux/win32_d3d.h"
#include "platform/linux/win32_windows.h"
#endif

#include "platform/path.h"
