// The process behind a window: the X resource extension names the client that created the window and, on a local
// server, that client's process id; a window whose client the server cannot trace (a remote client, a server
// without the extension) falls back on the _NET_WM_PID its owner set. X has no threads of windows: the thread id
// reported is the process's main thread, whose id on Linux is the process id.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/types.h>
// XRes.h needs Xlib and pid_t declared before it.
#include <X11/extensions/XRes.h>

#include "platform/linux/base/errors.h"
#include "platform/linux/display/x11_windows.h"

using quorvel::platform::detail::Fail;
namespace x11 = quorvel::platform::x11;

namespace {

bool HasClientIds(x11::Session& session) {
  static unsigned long checked_generation = 0;  // touched only under the session lock
  static bool available = false;
  if (checked_generation != session.generation()) {
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    available = XResQueryExtension(session.display(), &event_base, &error_base) &&
                XResQueryVersion(session.display(), &major, &minor) &&
                (major > 1 || (major == 1 && minor >= 2));
    checked_generation = session.generation();
  }
  return available;
}

DWORD ClientPid(x11::Session& session, ::Window window) {
  if (!HasClientIds(session)) return 0;
  x11::ErrorTrap trap(session);
  XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* values = nullptr;
  DWORD pid = 0;
  if (XResQueryClientIds(session.display(), 1, &spec, &count, &values) == Success && trap.error() == 0) {
    for (long i = 0; i < count && pid == 0; ++i) {
      const pid_t value = XResGetClientPid(&values[i]);
      if (value > 0) pid = static_cast<DWORD>(value);
    }
  }
  if (values != nullptr) XResClientIdsDestroy(count, values);
  return pid;
}

}  // namespace

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) try {
  quorvel::platform::detail::CountCall("GetWindowThreadProcessId");
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  XWindowAttributes attributes;
  if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, DWORD{0});
  DWORD pid = ClientPid(session, window);
  if (pid == 0) {
    const auto values = x11::LongProperty(session, window, "_NET_WM_PID", XA_CARDINAL);
    if (!values.empty()) pid = static_cast<DWORD>(values[0]);
  }
  if (lpdwProcessId != nullptr) *lpdwProcessId = pid;
  if (pid == 0) return Fail(ERROR_NOT_FOUND, DWORD{0});
  return pid;
} QUORVEL_WIN32_OUT_OF_MEMORY(DWORD{0})
