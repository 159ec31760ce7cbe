// Test seam of COM apartments, shell items, GDI, GDI+ and global memory. Included by tests only.
//
// Failures: seam::FailNext(function, code) (seam.h) fails the next call of any function of these areas. The code
// is what the call reports: the HRESULT for COM and shell calls (a Win32 error code becomes its HRESULT), the
// Status for GDI+ calls, the last error for the others (which return their failure value). Names are the
// functions' own, with the interface for methods: "IShellItem::QueryInterface",
// "IShellItemImageFactory::GetImage". The multithreaded apartment needs no seam: CoInitializeEx with
// COINIT_MULTITHREADED puts a thread there, as on Windows.
#pragma once

#include <cstddef>

#include "platform/linux/seam/seam.h"
#include "platform/win32.h"

namespace quorvel::platform::seam {

inline void FailNextHresult(std::string_view function, HRESULT hr) { FailNext(function, static_cast<DWORD>(hr)); }
inline void FailNextStatus(std::string_view function, Gdiplus::Status status) {
  FailNext(function, static_cast<DWORD>(status));
}

// True while a failure armed with FailNext for `function` has not been used by a call.
bool FailureArmed(std::string_view function);

long LiveComObjects();
std::size_t LiveGdiObjects();  // bitmaps, icons and device contexts
long LiveGdiplusBitmaps();
long ActiveGdiplusStartups();
std::size_t LiveGlobalBlocks();

}  // namespace quorvel::platform::seam
