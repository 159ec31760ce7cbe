// The process behind a window: the X resource extension names the client that created the window and, on a local
// server, that client's process id; a window whose client the server cannot trace (a remote client, a server
// without the extension) falls back on the _NET_WM_PID its owner set. X has no threads of windows: the thread id
// reported is the process's main thread, whose id on Linux is the process id.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/types.h>
// XRes.h needs Xlib and pid_t declared before it.
#include <X11/extensions/XRes.h>
#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <map>

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

}  // namespace

namespace quorvel::platform::x11 {

std::vector<DWORD> ClientPids(Session& session, const std::vector<::Window>& windows) {
  std::vector<DWORD> pids(windows.size(), 0);
  if (!session || windows.empty() || !HasClientIds(session)) return pids;
  // The server names each client by its resource base: the high bits of every id it made, the low bits being
  // those of the mask it gave every client (ours too). One spec per client.
  const auto base_of = [mask = xcb_get_setup(XGetXCBConnection(session.display()))->resource_id_mask](XID id) {
    return id & ~static_cast<XID>(mask);
  };
  std::vector<XResClientIdSpec> specs;
  std::map<XID, pid_t> by_client;
  for (::Window w : windows) {
    if (w != 0 && by_client.emplace(base_of(w), 0).second) specs.push_back({w, XRES_CLIENT_ID_PID_MASK});
  }
  if (specs.empty()) return pids;
  ErrorTrap trap(session);
  long count = 0;
  XResClientIdValue* values = nullptr;
  if (XResQueryClientIds(session.display(), static_cast<long>(specs.size()), specs.data(), &count, &values) ==
          Success &&
      trap.error() == 0) {
    for (long i = 0; i < count; ++i) {
      const pid_t value = XResGetClientPid(&values[i]);
      // With one client asked, its answer needs no matching.
      const auto client = specs.size() == 1 ? by_client.begin() : by_client.find(base_of(values[i].spec.client));
      if (value > 0 && client != by_client.end() && client->second == 0) client->second = value;
    }
  }
  if (values != nullptr) XResClientIdsDestroy(count, values);
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (windows[i] != 0) pids[i] = static_cast<DWORD>(std::max<pid_t>(by_client[base_of(windows[i])], 0));
  }
  return pids;
}

}  // namespace quorvel::platform::x11

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) try {
  quorvel::platform::detail::CountCall("GetWindowThreadProcessId");
  x11::Session session;
  const ::Window window = x11::ToXWindow(hWnd);
  DWORD pid = 0;
  if (const x11::SnapshotFacts* known = x11::SnapshotOf(session, window); known != nullptr) {
    if (!known->exists) return Fail(ERROR_INVALID_WINDOW_HANDLE, DWORD{0});
    pid = known->pid;
    if (lpdwProcessId != nullptr) *lpdwProcessId = pid;
    if (pid == 0) return Fail(ERROR_NOT_FOUND, DWORD{0});
    return pid;
  }
  XWindowAttributes attributes;
  if (!x11::Attributes(session, window, attributes)) return Fail(ERROR_INVALID_WINDOW_HANDLE, DWORD{0});
  pid = x11::ClientPids(session, {window})[0];
  if (pid == 0) {
    const auto values = x11::LongProperty(session, window, "_NET_WM_PID", XA_CARDINAL);
    if (!values.empty()) pid = static_cast<DWORD>(values[0]);
  }
  if (lpdwProcessId != nullptr) *lpdwProcessId = pid;
  if (pid == 0) return Fail(ERROR_NOT_FOUND, DWORD{0});
  return pid;
} QUORVEL_WIN32_OUT_OF_MEMORY(DWORD{0})
