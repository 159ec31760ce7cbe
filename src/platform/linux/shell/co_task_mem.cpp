// The COM task allocator: the blocks SHGetKnownFolderPath hands out. Counted so tests can prove every block is
// given back.
#include <atomic>
#include <cstdlib>

#include "platform/linux/base/errors.h"
#include "platform/linux/seam/seam_known_folders.h"
#include "platform/linux/shell/win32_known_folders.h"

namespace {
std::atomic<long> live_blocks{0};
}  // namespace

LPVOID CoTaskMemAlloc(SIZE_T cb) {
  QUORVEL_SEAM_FAIL("CoTaskMemAlloc", static_cast<LPVOID>(nullptr));
  // Windows hands out a valid block for 0 bytes too; malloc(0) may give null.
  void* block = std::malloc(cb == 0 ? 1 : cb);
  if (block != nullptr) live_blocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void CoTaskMemFree(LPVOID pv) {
  if (pv == nullptr) return;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(pv);
}

namespace quorvel::platform::seam {
long LiveCoTaskMemBlocks() { return live_blocks.load(std::memory_order_relaxed); }
}  // namespace quorvel::platform::seam
