// Test seam of the known-folder layer. Included by tests only. Failures are armed with the generic
// seam::FailNext: "CoTaskMemAlloc" (null block) and "SHGetKnownFolderPath" (fails with HRESULT_FROM_WIN32 of the
// armed error after handing out the path anyway, which Windows permits: the caller frees the block either way).
#pragma once

#include "platform/linux/base/win32_types.h"

namespace quorvel::platform::seam {

// With `chars` > 0, ExpandEnvironmentStringsW behaves as Windows' does with its 32K limit: a larger buffer size
// counts as `chars`, and an expansion that does not fit leaves a cut string in the buffer while the count says
// how much the whole would need. 0 lifts the cap (the default; seam::Reset leaves it alone).
void CapExpandEnvironmentStrings(DWORD chars);

// Blocks from CoTaskMemAlloc not yet given to CoTaskMemFree.
long LiveCoTaskMemBlocks();

}  // namespace quorvel::platform::seam
