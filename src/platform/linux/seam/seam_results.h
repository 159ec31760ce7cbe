// Seam hooks for calls that report failure as an HRESULT or a GDI+ Status: the code armed by the test seam is
// returned as it is (a Win32 error code becomes its HRESULT).
#pragma once

#include "platform/linux/base/errors.h"

#define QUORVEL_SEAM_FAIL_HRESULT(name)                                      \
  do {                                                                       \
    DWORD seam_error_;                                                       \
    if (::quorvel::platform::detail::SeamConsumeFailure(name, seam_error_)) \
      return HRESULT_FROM_WIN32(seam_error_);                                \
  } while (0)

#define QUORVEL_SEAM_FAIL_STATUS(name)                                       \
  do {                                                                       \
    DWORD seam_error_;                                                       \
    if (::quorvel::platform::detail::SeamConsumeFailure(name, seam_error_)) \
      return static_cast<::Gdiplus::Status>(seam_error_);                    \
  } while (0)
