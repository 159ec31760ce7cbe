// The executable's module handle and path. Only the executable is a module here: its handle is an opaque
// non-null value that these two functions recognise, and its path is /proc/self/exe's target.
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/linux/base/errors.h"
#include "platform/linux/base/wide.h"
#include "platform/linux/shell/win32_known_folders.h"

namespace {

const char executable_module = 0;
HMODULE ExecutableModule() { return reinterpret_cast<HMODULE>(const_cast<char*>(&executable_module)); }

// The target of /proc/self/exe, however long; false with errno set when it cannot be read.
bool ReadExecutablePath(std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      path = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);  // readlink cuts without saying so: ask again until it leaves room
  }
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName != nullptr) return quorvel::platform::detail::Fail(ERROR_MOD_NOT_FOUND, HMODULE{});
  return ExecutableModule();
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  using quorvel::platform::detail::Fail;
  QUORVEL_SEAM_FAIL("GetModuleFileNameW", DWORD{0});
  if (hModule != nullptr && hModule != ExecutableModule()) return Fail(ERROR_MOD_NOT_FOUND, DWORD{0});
  if (lpFilename == nullptr && nSize != 0) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  std::wstring path;
  try {
    std::string bytes;
    if (!ReadExecutablePath(bytes)) return Fail(quorvel::platform::detail::Win32FromErrno(errno), DWORD{0});
    path = quorvel::platform::Utf8ToWide(bytes);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, DWORD{0});
  }
  if (path.size() < nSize) {
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
  }
  if (nSize > 0) {
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = L'\0';
  }
  return Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
}
