// The GDI object table behind HBITMAP, HICON and HDC: what the shell item and GDI+ hand to each other.
#pragma once

#include <cstddef>

#include "platform/linux/shell/icon_source.h"
#include "platform/linux/base/win32_types.h"

namespace quorvel::platform::detail {

// A top-down 32-bit DIB section holding `image` (taken over). Null when the table cannot take it.
HBITMAP CreateDibSectionFromImage(icons::IconImage&& image);
HICON CreateIconFromImage(icons::IconImage&& image);
// A copy of an icon's image; false when `icon` names no icon.
bool CopyIconImage(HICON icon, icons::IconImage& out);

std::size_t LiveGdiObjects();

}  // namespace quorvel::platform::detail
