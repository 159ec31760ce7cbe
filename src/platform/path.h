#pragma once

namespace quorvel::platform {

// The separator inside change-record names, filter depths and joined paths: the same Part logic on every host.
#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// Whether `c` separates path components. On Windows `/` does too, as everywhere in the system's own path handling,
// so a pattern or a watch path written the way Python users write paths works on both systems. Names the platform
// reports use kPathSeparator only.
inline constexpr bool IsPathSeparator(wchar_t c) {
#ifdef _WIN32
  return c == L'\\' || c == L'/';
#else
  return c == L'/';
#endif
}

}  // namespace quorvel::platform
