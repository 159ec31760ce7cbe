// Test seam of the known-folder layer. Included by tests only. Failures are armed with the generic
// seam::FailNext: "CoTaskMemAlloc" (null block) and "SHGetKnownFolderPath" (fails with HRESULT_FROM_WIN32 of the
// armed error after handing out the path anyway, which Windows permits: the caller frees the block either way).
#pragma once

namespace quorvel::platform::seam {

// Blocks from CoTaskMemAlloc not yet given to CoTaskMemFree.
long LiveCoTaskMemBlocks();

}  // namespace quorvel::platform::seam
