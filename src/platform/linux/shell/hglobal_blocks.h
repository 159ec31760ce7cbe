// Live global memory blocks, for the test seam.
#pragma once

#include <cstddef>

namespace quorvel::platform::detail {

std::size_t LiveGlobalBlocks();

}  // namespace quorvel::platform::detail
