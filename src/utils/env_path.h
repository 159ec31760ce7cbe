// Environment references in paths, and the executable's directory. No state, no logging; every failure is "".
#pragma once

#include <string>

// `path` with each %NAME% of a set variable replaced by its value (ExpandEnvironmentStringsW's rules), however
// long the expansion; "" for a null or empty path or a failed expansion.
std::wstring expand_env_path(const wchar_t* path);

// The directory of the process's executable with its trailing separator, or "" when the path is unknown or
// holds no separator.
std::wstring GetExecutableDir();
