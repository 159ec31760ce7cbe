// Known-folder paths from the string form of their identifiers. No state, no logging; every failure is "".
#pragma once

#include <string>

#include "platform/win32.h"

// The folder named by a braced GUID string such as "{FDD39AD0-238F-46AF-ADB4-6C85480369C7}" (read up to its
// first NUL), or "" when the string is no GUID or the GUID names no folder known here.
std::wstring get_known_path(const std::wstring& known_path_clsid);

// The calling user's folder for `id` exactly as SHGetKnownFolderPath reports it, or "".
std::wstring GetKnownFolderPath(const KNOWNFOLDERID& id);
