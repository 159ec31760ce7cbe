// The test seam, one header per area (this one: files, completion ports and change notification; seam_d3d.h,
// seam_windows.h, seam_shell_image.h, seam_known_folders.h for the others). Included by tests only: it scripts
// what the real platform rarely does on demand, and counts live objects so tests can prove nothing leaks.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/linux/files/win32_files.h"

namespace quorvel::platform::seam {

// The next call of `function` (e.g. "ReadDirectoryChangesW", "CreateFileW", "CreateIoCompletionPort",
// "PostQueuedCompletionStatus", "GetQueuedCompletionStatus", "GetFileAttributesW", "CloseHandle") fails with
// `error` before doing anything.
void FailNext(std::string_view function, DWORD error);

// Ends the outstanding read of `directory` now: with 0 bytes when `error` is ERROR_SUCCESS (as after lost
// changes), otherwise as a failed I/O with that code. False when no read is outstanding.
bool CompleteRead(HANDLE directory, DWORD error);

// Acts as if the kernel's event queue had overflowed: every watch's next read completes with 0 bytes, and every
// subtree is walked again.
void InjectQueueOverflow();

// How closing a handle completes its outstanding read: ERROR_SUCCESS (default) with 0 bytes, or any other code as a
// failed I/O (ERROR_OPERATION_ABORTED: what cancelling gives on Windows).
void SetCancelledReadError(DWORD error);

// Records a directory handle may keep between reads before its changes count as lost (0: the built-in limit). A
// handle takes the limit in force at its first read.
void SetBacklogLimit(std::size_t records);

// With `on`, a directory handle keeps between reads only what its first read's buffer would hold, as Windows does
// (beyond that its changes count as lost), instead of the layer's far larger backlog. A handle takes the mode in
// force at its first read.
void SetWindowsBacklog(bool on);

// The next handle created gets `value` if that value is free then.
void ReuseHandleValue(HANDLE value);

std::size_t OpenHandles();
std::size_t LivePorts();  // port objects, also those whose handle is closed but that bound handles still reach
std::size_t QueuedPackets();
std::size_t OutstandingReads();
std::size_t BatchPauses();  // pauses of threads waiting on ports before a read, while changes come in a burst

// Disarms every failure and restores the defaults above.
void Reset();

}  // namespace quorvel::platform::seam
