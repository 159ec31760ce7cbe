// Environment references in paths, and the executable's directory. No state, no logging; every failure is "".
#pragma once

#include <string>

// `path` with each %NAME% of a set variable replaced by its value (ExpandEnvironmentStringsW's rules), whole or
// not at all: "" for a null or empty path, a failed expansion, or one the platform cannot give whole (Windows
// stops at 32K characters; on Linux there is no limit).
std::wstring expand_env_path(const wchar_t* path);

// The directory of the process's executable with its trailing separator, or "" when the path is unknown or
// holds no separator.
std::wstring GetExecutableDir();
