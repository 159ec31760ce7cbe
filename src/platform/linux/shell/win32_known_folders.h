// Known folders, GUID strings, environment expansion and the process's own file name: the Win32 surface the
// shell utilities call. On Linux:
//   CLSIDFromString            the braced registry form only (there is no ProgID registry)     guid_from_string.cpp
//   SHGetKnownFolderPath       $HOME, the XDG user directories, the XDG base directories       known_folders.cpp
//   CoTaskMemAlloc/Free        malloc/free, counted for the test seam                          co_task_mem.cpp
//   ExpandEnvironmentStringsW  %NAME% from the process environment, names case-sensitive       expand_environment.cpp
//   GetModuleHandleW(nullptr), GetModuleFileNameW   the executable, from /proc/self/exe        module_file_name.cpp
#pragma once

#include "platform/linux/base/win32_com.h"
#include "platform/linux/files/win32_files.h"
#include "platform/linux/base/win32_types.h"

#ifndef MAX_PATH
#define MAX_PATH 260
#endif

#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126u
#endif

using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using PWSTR = WCHAR*;

using KNOWNFOLDERID = GUID;
using REFKNOWNFOLDERID = const KNOWNFOLDERID&;

// KNOWN_FOLDER_FLAG values this layer reads; every other flag is accepted and has no effect here.
#define KF_FLAG_DEFAULT 0x00000000u
#define KF_FLAG_DONT_VERIFY 0x00004000u

// The known folders that have a counterpart here (known_folders.cpp maps them), with Windows' identifiers.
inline constexpr KNOWNFOLDERID FOLDERID_Profile{0x5e6c858f, 0x0e22, 0x4760, {0x9a, 0xfe, 0xea, 0x33, 0x17, 0xb6, 0x71, 0x73}};
inline constexpr KNOWNFOLDERID FOLDERID_Desktop{0xb4bfcc3a, 0xdb2c, 0x424c, {0xb0, 0x29, 0x7f, 0xe9, 0x9a, 0x87, 0xc6, 0x41}};
inline constexpr KNOWNFOLDERID FOLDERID_Documents{0xfdd39ad0, 0x238f, 0x46af, {0xad, 0xb4, 0x6c, 0x85, 0x48, 0x03, 0x69, 0xc7}};
inline constexpr KNOWNFOLDERID FOLDERID_Downloads{0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}};
inline constexpr KNOWNFOLDERID FOLDERID_Music{0x4bd8d571, 0x6d19, 0x48d3, {0xbe, 0x97, 0x42, 0x22, 0x20, 0x08, 0x0e, 0x43}};
inline constexpr KNOWNFOLDERID FOLDERID_Pictures{0x33e28130, 0x4e1e, 0x4676, {0x83, 0x5a, 0x98, 0x39, 0x5c, 0x3b, 0xc3, 0xbb}};
inline constexpr KNOWNFOLDERID FOLDERID_Videos{0x18989b1d, 0x99b5, 0x455b, {0x84, 0x1c, 0xab, 0x7c, 0x74, 0xe4, 0xdd, 0xfc}};
inline constexpr KNOWNFOLDERID FOLDERID_Templates{0xa63293e8, 0x664e, 0x48db, {0xa0, 0x79, 0xdf, 0x75, 0x9e, 0x05, 0x09, 0xf7}};
inline constexpr KNOWNFOLDERID FOLDERID_Public{0xdfdf76a2, 0xc82a, 0x4d63, {0x90, 0x6a, 0x56, 0x44, 0xac, 0x45, 0x73, 0x85}};
inline constexpr KNOWNFOLDERID FOLDERID_RoamingAppData{0x3eb685db, 0x65f9, 0x4cf6, {0xa0, 0x3a, 0xe3, 0xef, 0x65, 0x72, 0x9f, 0x3d}};
inline constexpr KNOWNFOLDERID FOLDERID_LocalAppData{0xf1b32785, 0x6fba, 0x4fcf, {0x9d, 0x55, 0x7b, 0x8e, 0x7f, 0x15, 0x70, 0x91}};
inline constexpr KNOWNFOLDERID FOLDERID_LocalAppDataLow{0xa520a1a4, 0x1780, 0x4ff6, {0xbd, 0x18, 0x16, 0x73, 0x43, 0xc5, 0xaf, 0x16}};
inline constexpr KNOWNFOLDERID FOLDERID_SavedGames{0x4c5c32ff, 0xbb9d, 0x43b0, {0xb5, 0xb4, 0x2d, 0x72, 0xe5, 0x4e, 0xaa, 0xa4}};

// S_OK and the GUID for "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits of either case, nothing before or
// after); S_OK and the null GUID for a null string; CO_E_CLASSSTRING (null GUID stored) for anything else;
// E_INVALIDARG for a null `pclsid`.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

// The calling user's folder for `rfid`, in a CoTaskMemAlloc block the caller frees with CoTaskMemFree whether the
// call succeeds or not (*ppszPath is null unless a block was handed out). Unless KF_FLAG_DONT_VERIFY is given,
// the folder must exist as a directory (HRESULT_FROM_WIN32 of the reason otherwise). E_INVALIDARG for an
// identifier without a counterpart here, a null `ppszPath`, or a token other than null (only the calling user's
// folders are known).
HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags, HANDLE hToken, PWSTR* ppszPath);

LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// Windows' return rules: the characters stored including the terminator when they fit in `nSize`; otherwise the
// size needed (terminator included), with as much as fits stored and terminated when nSize > 0 and the last error
// ERROR_INSUFFICIENT_BUFFER; 0 with the last error set on failure.
DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

// Only the executable's own module: GetModuleHandleW(nullptr) gives its handle; any name gives null with
// ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);

// The path of the executable (hModule null or the executable's handle). A path that does not fit is cut to
// nSize - 1 characters and terminated, and nSize is returned with the last error ERROR_INSUFFICIENT_BUFFER, as on
// Windows since Vista.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
