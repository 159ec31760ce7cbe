// What the native tests take from the Linux layer or from POSIX, for their Windows build (run under Wine by
// scripts/check-windows.sh): UTF-8 to wide text and the environment calls, over the system's own functions.
#pragma once

#ifndef _WIN32
#error "for the Windows build of the tests only"
#endif

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace quorvel::platform {

inline std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

}  // namespace quorvel::platform

// ExpandEnvironmentStringsW reads the process's environment block, which the C runtime's _putenv leaves without
// an empty variable: the block itself is set, in UTF-8 as the tests write it.
inline int setenv(const char* name, const char* value, int overwrite) {
  const std::wstring wide_name = quorvel::platform::Utf8ToWide(name);
  if (!overwrite && GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0) != 0) return 0;
  return SetEnvironmentVariableW(wide_name.c_str(), quorvel::platform::Utf8ToWide(value).c_str()) ? 0 : -1;
}

inline int unsetenv(const char* name) {
  return SetEnvironmentVariableW(quorvel::platform::Utf8ToWide(name).c_str(), nullptr) ||
                 GetLastError() == ERROR_ENVVAR_NOT_FOUND
             ? 0
             : -1;
}

namespace quorvel::platform::icons {

// The shape of the Linux icon reader's image: width, height, then 0xAARRGGBB pixels, top row first.
struct IconImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> pixels;
};

}  // namespace quorvel::platform::icons

namespace platform_test {

inline std::wstring W(const std::string& utf8) { return quorvel::platform::Utf8ToWide(utf8); }

}  // namespace platform_test
