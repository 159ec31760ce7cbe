#include "platform/linux/seam_shell_image.h"

#include "platform/linux/gdi_objects.h"
#include "platform/linux/gdiplus_state.h"
#include "platform/linux/hglobal_blocks.h"

namespace quorvel::platform::seam {

long LiveComObjects() { return ::quorvel::platform::LiveComObjects().load(); }
std::size_t LiveGdiObjects() { return detail::LiveGdiObjects(); }
long LiveGdiplusBitmaps() { return detail::LiveGdiplusBitmaps(); }
long ActiveGdiplusStartups() { return detail::ActiveGdiplusStartups(); }
std::size_t LiveGlobalBlocks() { return detail::LiveGlobalBlocks(); }

}  // namespace quorvel::platform::seam
