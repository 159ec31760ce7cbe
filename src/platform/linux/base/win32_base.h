// The base every other area of the Linux platform builds on: Win32 types with Windows' sizes, GUIDs and IUnknown,
// thread-local last errors with Win32 codes (errors.h), the handle table behind every HANDLE, UTF-8 <-> UTF-32
// file names that round-trip undecodable bytes (wide.h), COM apartments as per-thread state, and the C runtime's
// case-insensitive comparisons.
#pragma once

#include "platform/linux/base/win32_types.h"
#include "platform/linux/base/win32_com.h"
#include "platform/linux/base/win32_wcsicmp.h"

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
