#include "game_screenshoter/find_game_window.h"

#include <cwchar>
#include <new>

#include "platform/log.h"

namespace {

constexpr LONG kMinClientSize = 10;
constexpr DWORD kImagePathUnits = 1024;
// Log filters and readers of old logs know the warning by this source line; it stays fixed whatever the file.
constexpr int kNotFoundLine = 370;

}  // namespace

bool IsGameProcessWindow(HWND hwnd, std::wstring_view install_path, std::map<DWORD, bool>& pid_cache) {
  // The cheap window tests first; no process is opened for a window they reject.
  if (!IsWindowVisible(hwnd)) return false;
  if (GetParent(hwnd) != nullptr) return false;  // child windows and owned pop-ups
  RECT client = {0, 0, 0, 0};
  GetClientRect(hwnd, &client);  // a failure leaves the empty rectangle, which is rejected
  if (client.right - client.left < kMinClientSize) return false;
  if (client.bottom - client.top < kMinClientSize) return false;  // also a minimised window
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == 0) return false;

  if (const auto cached = pid_cache.find(pid); cached != pid_cache.end()) return cached->second;

  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;  // not cached: the next window of this process tries again
  WCHAR image[kImagePathUnits] = {};
  DWORD length = kImagePathUnits;
  const BOOL read = QueryFullProcessImageNameW(process, 0, image, &length);
  CloseHandle(process);
  if (!read) return false;

  // A plain prefix: "/games/foo" also matches "/games/foobar/run".
  const bool verdict =
      length >= install_path.size() && _wcsnicmp(image, install_path.data(), install_path.size()) == 0;
  try {
    pid_cache.emplace(pid, verdict);
  } catch (const std::bad_alloc&) {
    // Without the entry the process is only read again for its next window.
  }
  return verdict;
}

BOOL CALLBACK GameWindowEnumProc(HWND hwnd, LPARAM param) noexcept {
  auto* context = reinterpret_cast<EnumWindowsContext*>(param);
  if (context == nullptr) return FALSE;
  try {
    if (IsGameProcessWindow(hwnd, context->install_path, context->pid_cache)) {
      context->found = hwnd;
      return FALSE;
    }
  } catch (...) {
    // Nothing may unwind through the platform's enumeration: the window counts as rejected.
  }
  return TRUE;
}

HWND FindWindowByInstallPath(std::wstring_view install_path) {
  EnumWindowsContext context;
  context.install_path = install_path;
  // Also FALSE when the callback stopped the enumeration at a match.
  EnumWindows(&GameWindowEnumProc, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

std::uint64_t FindGameWindow(std::wstring_view install_path, std::uint64_t prev_hwnd) {
  // A handle that still names a window is kept as it is, whatever window it names now.
  if (prev_hwnd != 0 && IsWindow(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(prev_hwnd)))) return prev_hwnd;
  if (HWND found = FindWindowByInstallPath(install_path); found != nullptr) {
    return static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(found));
  }
  quorvel::log::Wide(quorvel::log::Site{__FILE__, kNotFoundLine, "FindGameWindow"}, spdlog::level::warn,
                     L"RuduVizozadoz: unable to locate the window belong to a process that located in {}",
                     install_path);
  return 0;
}
