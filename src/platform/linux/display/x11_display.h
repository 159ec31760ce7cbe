// The process's one connection to the X server named by $DISPLAY, shared by the window, monitor and duplication
// parts of the layer.
//
// - Opened on first use and kept. When $DISPLAY names another server than the open connection's, or the connection
//   failed, the next use opens a new one and closes the old (close listeners run first). With no reachable server
//   every use sees a null display; the next use tries again. The old connection stays while the new one cannot be
//   opened, so a thread that still wants it is not disturbed by one that asks for a bad display (the watchdog's clock
//   stops while a session connects). One connection to a name is opened at a time: the other threads that want it
//   wait for that one and use what it gave (nothing, when it failed).
// - Deadline: no wait on the server lasts longer than kServerDeadline. A connection is opened only after the server
//   has answered a probe within it (x11_probe.h); a session that has waited on the server that long has its
//   connection ended under it (a watchdog shuts the socket's reading side, so the read blocked in Xlib or XCB
//   fails) and the call fails as for a server that is gone. The watchdog ends XOpenDisplay's wait for the setup
//   reply the same way, for a server that stops right after its probe, and the round trips after the setup.
//   Servers that let a probe or a session time out are remembered, and later probes of them wait only kRetryWait,
//   so a stopped server costs one deadline, not one per call of a search; it is used again as soon as it answers.
// - Threads: Xlib is switched to its thread-safe mode before the first connection, and every use of the connection
//   goes through a Session, which holds one (recursive) lock for its lifetime. The lock also makes X errors
//   attributable: only the session's thread talks to the server while it is held. It is let go while a connection
//   is being opened, so a server that does not answer holds up only the threads that want that server.
// - Errors: a process-wide error handler records an error of this connection into the innermost live ErrorTrap
//   of the session (errors outside any trap are dropped), never the default handler, which exits. Errors of
//   other connections in the process go to the handler that was installed before ours, unless that was Xlib's
//   default. A broken connection (server gone) does not exit the process: it is marked dead and nothing is sent on
//   it again. That holds from inside XOpenDisplay on: a display being opened gets its exit handler before its first
//   round trip past the setup (a hook on the display-lock set-up Xlib calls there), and its I/O errors are known as
//   ours by the opening thread. What Xlib would print about it then becomes one info line in the log, logged once
//   the thread holds none of the layer's locks; what XCB writes itself (a refused connection's reason) stays on
//   stderr. Xlib keeps a broken display locked for the thread that met the failure, so that thread closes it when
//   its outermost session ends; closing only frees what the client holds (the server frees the rest itself when a
//   connection ends).
// - fork: the child forgets every X state of the parent's (connection, locks, watchdog, servers being opened, and
//   Xlib's process-wide lock if a parent thread held it) in a pthread_atfork handler. Of the inherited connection
//   only the child's descriptor is closed; nothing is sent on it, and the close listeners hear of it at the child's
//   first session. Generations go on from the parent's.
// - Monitors: one per RandR 1.5 monitor; an HMONITOR is the monitor's name atom, so it stays the same while the
//   monitor exists and is never 0. Without RandR 1.5 the whole screen is one monitor. The list is kept per
//   connection and dropped when an event says monitors may have changed (the root's RandR and structure events are
//   selected on this connection for that, and taken out of its queue by every session): it answers as a request
//   at the connection's last reply would.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/base/win32_types.h"

namespace quorvel::platform::x11 {

inline constexpr std::chrono::milliseconds kServerDeadline{2500};
inline constexpr std::chrono::milliseconds kRetryWait{500};

class Session {
 public:
  Session();
  // `may_connect` false: only an open connection to $DISPLAY is used, none is opened (for giving resources back).
  explicit Session(bool may_connect);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Null when no X server is reachable.
  Display* display() const { return display_; }
  explicit operator bool() const { return display_ != nullptr; }
  // False once the connection has failed (also during this session): then nothing may be sent on it.
  bool alive() const;
  ::Window root() const;
  // Changes whenever a new connection is opened: caches keyed on the connection compare it.
  unsigned long generation() const;
  // XInternAtom, cached per connection. None without a display.
  Atom atom(const char* name);

 private:
  void Begin(bool may_connect);

  std::unique_lock<std::recursive_mutex> lock_;
  Display* display_ = nullptr;
};

// Records the first X error of requests made on the session's connection while it lives. Nests.
class ErrorTrap {
 public:
  explicit ErrorTrap(Session& session);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server has answered every request sent so far; the first error code seen (0: none). A dead
  // connection counts as an error (BadImplementation).
  int Sync();
  int error() const { return error_; }

 private:
  friend struct TrapAccess;
  Session& session_;
  ErrorTrap* outer_;
  int error_ = 0;
};

struct Monitor {
  HMONITOR handle;  // the RandR monitor's name atom
  RECT rect;        // desktop pixels
  int mm_width;     // physical size; 0 when unknown
  int mm_height;
  bool primary;     // exactly one monitor of a non-empty list is primary
};

// In RandR's order. Empty without a display.
std::vector<Monitor> Monitors(Session& session);
std::vector<Monitor> Monitors();

// Called with the connection about to be closed, under the session lock, so that what the client holds for
// resources made on it (shared memory mappings, images) can be freed. Nothing may be sent on it: it may be broken,
// and the server frees its side of every resource when the connection ends. Listeners live as long as the process.
void AddCloseListener(std::function<void(Display*)> listener);

// True when $DISPLAY is set and a server answers there (opens the connection if needed).
bool Available();

}  // namespace quorvel::platform::x11
