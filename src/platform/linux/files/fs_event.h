// Directory objects: what CreateFileW returns for a directory, and the state ReadDirectoryChangesW keeps for it.
#pragma once

#include <memory>

#include "platform/linux/files/iocp.h"

namespace quorvel::platform::detail {

// Takes ownership of `fd`, an open descriptor of the directory (it follows the directory through renames).
std::shared_ptr<KernelObject> MakeDirectoryObject(int fd);

// Test seam: ends the outstanding read of `directory` now, with 0 bytes (error 0) or as a failed I/O.
bool CompleteOutstandingRead(HANDLE directory, DWORD error);
// Test seam: handles an overflow of the kernel's event queue as if the kernel had reported one.
void InjectQueueOverflow();

}  // namespace quorvel::platform::detail
