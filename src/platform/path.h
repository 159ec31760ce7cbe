#pragma once

namespace quorvel::platform {

// The separator inside change-record names, filter depths and joined paths: the same Part logic on every host.
#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

}  // namespace quorvel::platform
