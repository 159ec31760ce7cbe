// Win32 error codes for host failures, and the hooks through which the test seam reaches the implementation.
// Nothing here changes behaviour unless a test arms the seam.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <string_view>

#include "platform/linux/base/win32_base.h"

// NTSTATUS values that the layer writes into OVERLAPPED::Internal, as Windows does.
#define QUORVEL_STATUS_SUCCESS 0x00000000u
#define QUORVEL_STATUS_PENDING 0x00000103u
#define QUORVEL_STATUS_NOTIFY_CLEANUP 0x0000010Bu
#define QUORVEL_STATUS_NOTIFY_ENUM_DIR 0x0000010Cu
#define QUORVEL_STATUS_ACCESS_DENIED 0xC0000022u
#define QUORVEL_STATUS_QUOTA_EXCEEDED 0xC0000044u
#define QUORVEL_STATUS_DELETE_PENDING 0xC0000056u
#define QUORVEL_STATUS_CANCELLED 0xC0000120u

namespace quorvel::platform::detail {

DWORD Win32FromErrno(int error);

// Sets the thread's last error and returns `result`, for one-line failure exits.
template <typename T>
T Fail(DWORD error, T result) {
  ::SetLastError(error);
  return result;
}

// Test seam hooks.
bool SeamConsumeFailure(std::string_view function, DWORD& error);
DWORD SeamCancelledReadError();
std::size_t SeamBacklogLimit(std::size_t default_limit);
bool SeamWindowsBacklog();

struct Counters {
  std::atomic<long> live_ports{0};
  std::atomic<long> queued_packets{0};
  std::atomic<long> outstanding_reads{0};
  std::atomic<long> batch_pauses{0};  // pauses of threads waiting on ports before a read, in a burst
};
Counters& counters();

}  // namespace quorvel::platform::detail

// Each public function starts with this: a failure armed by the test seam for that function.
#define QUORVEL_SEAM_FAIL(name, result)                                      \
  do {                                                                       \
    DWORD seam_error_;                                                       \
    if (::quorvel::platform::detail::SeamConsumeFailure(name, seam_error_)) \
      return ::quorvel::platform::detail::Fail(seam_error_, result);         \
  } while (0)

// Win32 functions never throw. An entry point that allocates is written as a function-try-block ending in one of
// these, so that running out of memory fails the call the way Windows does instead of unwinding into the caller
// (which may hold a handle it would then leak).
#define QUORVEL_WIN32_OUT_OF_MEMORY(result) \
  catch (const std::bad_alloc&) { return ::quorvel::platform::detail::Fail(ERROR_NOT_ENOUGH_MEMORY, result); }
#define QUORVEL_HRESULT_OUT_OF_MEMORY \
  catch (const std::bad_alloc&) { return E_OUTOFMEMORY; }
