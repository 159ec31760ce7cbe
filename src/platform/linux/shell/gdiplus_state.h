// GDI+ start-ups and bitmaps alive now, for the test seam.
#pragma once

namespace quorvel::platform::detail {

long ActiveGdiplusStartups();
long LiveGdiplusBitmaps();

}  // namespace quorvel::platform::detail
