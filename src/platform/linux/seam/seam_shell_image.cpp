#include "platform/linux/seam/seam_shell_image.h"

#include "platform/linux/base/errors.h"
#include "platform/linux/shell/gdi_objects.h"
#include "platform/linux/shell/gdiplus_state.h"
#include "platform/linux/shell/hglobal_blocks.h"

namespace quorvel::platform::seam {

bool FailureArmed(std::string_view function) {
  DWORD error;
  if (!detail::SeamConsumeFailure(function, error)) return false;
  FailNext(function, error);  // looked at, not used
  return true;
}

long LiveComObjects() { return ::quorvel::platform::LiveComObjects().load(); }
std::size_t LiveGdiObjects() { return detail::LiveGdiObjects(); }
long LiveGdiplusBitmaps() { return detail::LiveGdiplusBitmaps(); }
long ActiveGdiplusStartups() { return detail::ActiveGdiplusStartups(); }
std::size_t LiveGlobalBlocks() { return detail::LiveGlobalBlocks(); }

}  // namespace quorvel::platform::seam
