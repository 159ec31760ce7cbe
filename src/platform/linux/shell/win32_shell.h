// The shell and its icons over XDG and image libraries: known folders from the XDG base and user directories,
// %NAME% expansion from the process environment, GUID strings, shell items whose images are icons read from PE
// resources and .ico files (or the desktop icon theme's), GDI bitmaps and icons as 32-bit DIBs, the GDI+ PNG
// encoder on libpng, and HGLOBAL memory streams.
#pragma once

#include "platform/linux/shell/win32_known_folders.h"
#include "platform/linux/shell/win32_hglobal.h"
#include "platform/linux/shell/win32_gdi.h"
#include "platform/linux/shell/win32_gdiplus.h"
#include "platform/linux/shell/win32_shell_image.h"
