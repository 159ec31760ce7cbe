#include "utils/env_path.h"

#include <cwchar>

#include "platform/path.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
// A few rounds cover an environment that grows between the size query and the expansion.
constexpr int kExpansionAttempts = 4;
// Windows paths end at 32767 characters; the executable's cannot be longer.
constexpr DWORD kMaxModulePath = 32768;

#ifdef _WIN32
// Windows expands into at most 32,767 characters, terminator included. Asked for more, it may hand back the string
// cut to that size with a count that matches the cut string, so a result of that size is whole only when the
// references' values, looked up one by one, add up to it. Same walk as the expansion: a set variable's reference
// is replaced by its value, any other `%...%` is copied, a `%` without a partner is copied.
constexpr DWORD kWindowsExpansionLimit = 32767;

std::size_t WholeExpansionLength(const wchar_t* path) {
  const std::wstring_view src(path);
  std::size_t total = 0;
  std::size_t i = 0;
  while (i < src.size()) {
    const std::size_t open = src.find(L'%', i);
    if (open == std::wstring_view::npos) return total + (src.size() - i);
    total += open - i;
    const std::size_t close = src.find(L'%', open + 1);
    if (close == std::wstring_view::npos) return total + (src.size() - open);
    const std::wstring name(src.substr(open + 1, close - open - 1));
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = name.empty() ? 0 : GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0 && (name.empty() || GetLastError() == ERROR_ENVVAR_NOT_FOUND)) {
      total += close - open + 1;
    } else if (needed > 0) {
      total += needed - 1;
    }
    i = close + 1;
  }
  return total;
}
#endif

}  // namespace

std::wstring expand_env_path(const wchar_t* path) {
  if (path == nullptr) return std::wstring();
  const std::size_t length = std::wcslen(path);
  if (length == 0) return std::wstring();
  // The smallest multiple of MAX_PATH above the input's length.
  std::size_t size = (length / MAX_PATH + 1) * MAX_PATH;
  for (int attempt = 0; attempt < kExpansionAttempts && size <= kMaxDword; ++attempt) {
    std::wstring buffer(size, L'\0');
    const DWORD count = ExpandEnvironmentStringsW(path, buffer.data(), static_cast<DWORD>(size));
    if (count == 0) return std::wstring();
    if (count <= size) {
      // Windows gives at most 32K characters whatever the size, and a count that fits the buffer may then stand
      // beside a cut string. Whole only with the first NUL where the count says: neither a value nor the path
      // can hold a NUL.
      if (std::wcslen(buffer.c_str()) != count - 1) return std::wstring();
#ifdef _WIN32
      if (count >= kWindowsExpansionLimit && WholeExpansionLength(path) != count - 1) return std::wstring();
#endif
      buffer.resize(count - 1);
      return buffer;
    }
    // Too small: the count is the size the whole expansion needs, terminator included.
    size = count;
  }
  return std::wstring();
}

std::wstring GetExecutableDir() {
  // A path of MAX_PATH characters or more comes back cut to the buffer (count == size): ask with a larger one.
  std::wstring buffer;
  DWORD count = 0;
  for (DWORD size = MAX_PATH;; size *= 2) {
    if (size > 2 * kMaxModulePath) return std::wstring();
    buffer.assign(size, L'\0');
    count = GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), size);
    if (count == 0) return std::wstring();
    if (count < size) break;
  }
  buffer.resize(count);
  const std::size_t separator = buffer.rfind(quorvel::platform::kPathSeparator);
  if (separator == std::wstring::npos) return std::wstring();
  buffer.resize(separator + 1);
  return buffer;
}
