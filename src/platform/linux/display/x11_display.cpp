#include "platform/linux/display/x11_display.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/linux/base/environment.h"
#include "platform/linux/display/x11_probe.h"
#include "platform/log.h"

namespace quorvel::platform::x11 {

// Xlib's private state (x11_buffer.cpp): room in the output buffer of a display that has failed; whether Xlib's
// process-wide lock is held, and making it free in a fork child; the displays XOpenDisplay makes, handed over before
// their first round trip past the setup, and their exit handler.
void MakeRoom(Display* display);
bool XlibGlobalLockHeld();
void ForgetXlibGlobalLockInChild();
bool WatchOpeningDisplays(void (*callback)(Display*));
void SetExitHandler(Display* display, XIOErrorExitHandler handler);

struct TrapAccess {
  static ErrorTrap*& outer(ErrorTrap& trap) { return trap.outer_; }
  static int& error(ErrorTrap& trap) { return trap.error_; }
};

namespace {

struct Connection {
  std::recursive_mutex mutex;
  int depth = 0;  // sessions open on the lock holder's thread
  Display* display = nullptr;
  Display* session_display = nullptr;  // what the outermost session chose; inner sessions use the same
  // The error handlers run for every connection of the process, on whatever thread reads a reply, so they test
  // the display without taking the lock; everything else below is touched only under it.
  std::atomic<Display*> current{nullptr};
  std::atomic<bool> dead{false};
  std::string name;
  unsigned long generation = 0;
  std::unordered_map<std::string, Atom> atoms;
  ErrorTrap* trap = nullptr;
  unsigned long randr_checked_generation = 0;  // generations start at 1
  bool randr15 = false;
  int randr_event_base = 0;
  // The monitor list as last fetched, kept until an event says the monitors may have changed (see Monitors).
  bool monitors_selected = false;  // the root's RandR and structure events are selected on this connection
  bool monitors_cached = false;
  std::vector<Monitor> monitors;
  std::vector<std::function<void(Display*)>> listeners;
  XErrorHandler previous_error = nullptr;
  XIOErrorHandler previous_io = nullptr;
  // In a fork child: the parent's connection, of which only the child's descriptor has been closed. The listeners
  // are told of it at the child's first session, and it is never used nor freed (freeing would send on it).
  Display* inherited = nullptr;
};

void ForgetInChild();

// Never destroyed: handlers may run during exit. A fork child makes a new one (the old one's lock may be held by a
// thread that does not exist there).
std::atomic<Connection*> the_connection{nullptr};

Connection& connection() {
  static const bool fork_handled = pthread_atfork(nullptr, nullptr, &ForgetInChild) == 0;
  (void)fork_handled;
  Connection* c = the_connection.load(std::memory_order_acquire);
  if (c != nullptr) return *c;
  auto* made = new Connection;
  if (the_connection.compare_exchange_strong(c, made)) return *made;
  delete made;
  return *c;
}

// A connection this thread is closing: its ending in an I/O error is ours, not another library's.
thread_local Display* closing = nullptr;
// The display XOpenDisplay is making for the layer on this thread, from the moment it exists: an I/O error on it
// (the server gone in the middle of the round trips past the setup) happens on this thread, and is ours too.
thread_local Display* opening_display = nullptr;
thread_local bool opening_failed = false;
// A connection of the layer that broke while this thread was opening it, where Xlib's default would have printed
// its lines and ended the process: logged once the thread holds none of the layer's locks (a log line may go to
// Python, whose lock another thread may hold while it waits for ours). A connection that breaks later fails the
// call that meets it, which says so itself, as before.
thread_local std::string broken_note;

void NoteBroken(Display* display) {
  if (broken_note.empty()) broken_note = DisplayString(display);
}

void LogBroken() {
  if (broken_note.empty()) return;
  const std::string name = std::move(broken_note);
  broken_note.clear();
  quorvel::log::Narrow(QUORVEL_LOG_SITE("XOpenDisplay"), spdlog::level::info,
                       "X connection to {} broken while it was being opened (server gone or not answering)", name);
}

int OnError(Display* display, XErrorEvent* event) {
  Connection& c = connection();
  if (display == c.current.load(std::memory_order_acquire)) {
    // Only the session holder talks to this connection, so the trap chain is its own.
    for (ErrorTrap* t = c.trap; t != nullptr; t = TrapAccess::outer(*t)) {
      if (TrapAccess::error(*t) == 0) TrapAccess::error(*t) = event->error_code;
    }
    return 0;
  }
  if (display == closing || display == opening_display) return 0;
  if (c.previous_error != nullptr) return c.previous_error(display, event);
  return 0;
}

// Xlib's default prints a line about the failure and exits; for the layer's connections the display's exit handler
// (OnIoErrorExit) returns, and a connection being opened is one line of the log (see broken_note).
int OnIoError(Display* display) {
  Connection& c = connection();
  const bool ours = display == c.current.load(std::memory_order_acquire);
  if (ours || display == opening_display || display == closing) {
    if (ours) c.dead.store(true, std::memory_order_release);
    if (display == opening_display && !std::exchange(opening_failed, true)) NoteBroken(display);
    MakeRoom(display);
    return 0;
  }
  if (c.previous_io != nullptr) return c.previous_io(display);
  return 0;
}

// Xlib's default after an I/O error is exit(); for our connection the error only marks it for replacement.
void OnIoErrorExit(Display*, void*) {}

struct Opening;
thread_local Opening* this_opening = nullptr;
void OnOpeningDisplay(Display* display);

void InstallHandlers(Connection& c) {
  static std::once_flag once;
  std::call_once(once, [&c] {
    XInitThreads();
    WatchOpeningDisplays(OnOpeningDisplay);
    // Learn Xlib's default handler (installing null installs it) so that it is never chained to: it exits.
    XErrorHandler before = XSetErrorHandler(OnError);
    XSetErrorHandler(nullptr);
    XErrorHandler xlib_default = XSetErrorHandler(OnError);
    c.previous_error = (before == xlib_default || before == OnError) ? nullptr : before;
    XIOErrorHandler before_io = XSetIOErrorHandler(OnIoError);
    c.previous_io = before_io == OnIoError ? nullptr : before_io;
  });
}

using Clock = std::chrono::steady_clock;

long long Now() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// Servers that let a probe or a session run out of time, by display name (a few at most are kept), and those a
// thread is connecting to (one connection is opened to a server at a time: the others wait for it).
struct Servers {
  std::mutex mutex;
  std::set<std::string> names;
  std::set<std::string> opening;
  std::condition_variable opened;
};

// Never destroyed; made anew in a fork child.
std::atomic<Servers*> the_servers{nullptr};

Servers& silent_servers() {
  Servers* s = the_servers.load(std::memory_order_acquire);
  if (s != nullptr) return *s;
  auto* made = new Servers;
  if (the_servers.compare_exchange_strong(s, made)) return *made;
  delete made;
  return *s;
}

// The right to connect to a server, or the wait while another thread connects to it: that thread's connecting is
// bounded, so the wait is too. The waiter then uses whatever it opened (nothing, when it failed).
class OpeningTurn {
 public:
  explicit OpeningTurn(const std::string& name) : name_(name) {
    Servers& s = silent_servers();
    std::unique_lock lock(s.mutex);
    if (s.opening.insert(name).second) {
      mine_ = true;
      return;
    }
    s.opened.wait(lock, [&] { return s.opening.count(name) == 0; });
  }
  ~OpeningTurn() {
    if (!mine_) return;
    Servers& s = silent_servers();
    {
      std::lock_guard lock(s.mutex);
      s.opening.erase(name_);
    }
    s.opened.notify_all();
  }
  OpeningTurn(const OpeningTurn&) = delete;
  OpeningTurn& operator=(const OpeningTurn&) = delete;
  bool mine() const { return mine_; }

 private:
  const std::string name_;
  bool mine_ = false;
};

void MarkSilent(const std::string& name, bool silent) {
  Servers& s = silent_servers();
  std::lock_guard lock(s.mutex);
  if (!silent) {
    s.names.erase(name);
    return;
  }
  if (s.names.size() >= 16) s.names.clear();
  s.names.insert(name);
}

bool KnownSilent(const std::string& name) {
  Servers& s = silent_servers();
  std::lock_guard lock(s.mutex);
  return s.names.count(name) != 0;
}

// Bounds the waits of the session on the open connection: when the session has been waiting on the server (since it
// began, or since its last step) for longer than the deadline, the socket's reading side is shut down. That ends
// whatever read Xlib or XCB is blocked in, wherever it is, as the server's end would; shutting only the reading side
// never raises SIGPIPE. The watchdog holds a duplicate of the socket, so the number it shuts can never be another
// file's, however the connection is closed meanwhile. It bounds XOpenDisplay too, for a server that stops between
// its probe and the connection's setup, or in the round trips after it.
struct Opening {
  pid_t thread;
  long long since;
  std::string name;
  int fd = -1;  // past the setup: a duplicate of the new display's socket
};

struct Watch {
  std::mutex mutex;
  std::condition_variable wake;
  int fd = -1;  // duplicate of the open connection's socket; -1 without one
  std::string name;
  bool fired = false;  // the deadline has ended this connection already
  bool running = false;
  std::atomic<long long> busy_since{0};  // Now() of the session's start or last step; 0 outside sessions
  std::vector<Opening*> openings;        // threads inside XOpenDisplay
};

// Never destroyed: its thread runs until the process ends. A fork child makes a new one, with a thread of its own.
std::atomic<Watch*> the_watch{nullptr};

Watch& watch() {
  Watch* w = the_watch.load(std::memory_order_acquire);
  if (w != nullptr) return *w;
  auto* made = new Watch;
  if (the_watch.compare_exchange_strong(w, made)) return *made;
  delete made;
  return *w;
}

constexpr long long kDeadlineNs = std::chrono::duration_cast<std::chrono::nanoseconds>(kServerDeadline).count();

// The descriptor `thread` is blocked polling on, alone, from the kernel's record of its current system call (the
// array's address too); false when it is not in such a poll.
bool PolledDescriptor(pid_t thread, int& fd, unsigned long& array) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(thread));
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char line[256] = {};
  const ssize_t n = ::read(file, line, sizeof line - 1);
  ::close(file);
  long number = -1;
  unsigned long count = 0;
  if (n <= 0 || std::sscanf(line, "%ld %lx %lx", &number, &array, &count) != 3 || count != 1 || array == 0) {
    return false;
  }
#ifdef SYS_poll
  if (number != SYS_poll && number != SYS_ppoll) return false;
#else
  if (number != SYS_ppoll) return false;
#endif
  fd = reinterpret_cast<const pollfd*>(array)->fd;
  return true;
}

// XOpenDisplay waits for the setup reply in poll() on its new socket, the one descriptor it polls, holding Xlib's
// process-wide lock: that socket's reading side is shut through a copy of the descriptor, taken while the thread is
// seen polling that very descriptor before and after, so that the copy can only be of that socket and not of a file
// that took its number. Past the setup the opening thread has made a copy itself (OnOpeningDisplay).
bool EndSetupWait(pid_t thread) {
  int fd = -1, fd_after = -1;
  unsigned long array = 0, array_after = 0;
  if (!PolledDescriptor(thread, fd, array) || !XlibGlobalLockHeld()) return false;
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  struct stat st{};
  const bool ended = PolledDescriptor(thread, fd_after, array_after) && fd_after == fd && array_after == array &&
                     ::fstat(copy, &st) == 0 && S_ISSOCK(st.st_mode) && ::shutdown(copy, SHUT_RD) == 0;
  ::close(copy);
  return ended;
}

void WatchLoop(Watch* watched) {
  Watch& w = *watched;
  std::unique_lock lock(w.mutex);
  while (true) {
    const long long now = Now();
    long long next = LLONG_MAX;
    const long long since = w.busy_since.load(std::memory_order_acquire);
    if (w.fd >= 0 && !w.fired && since != 0) {
      if (now - since < kDeadlineNs) {
        next = since + kDeadlineNs;
      } else {
        ::shutdown(w.fd, SHUT_RD);
        w.fired = true;
        MarkSilent(w.name, true);
      }
    }
    for (Opening* o : w.openings) {
      if (now - o->since < kDeadlineNs) {
        next = std::min(next, o->since + kDeadlineNs);
      } else if ((o->fd >= 0 && ::shutdown(o->fd, SHUT_RD) == 0) || (o->fd < 0 && EndSetupWait(o->thread))) {
        o->since = LLONG_MAX / 2;  // done with
        MarkSilent(o->name, true);
      } else {
        next = std::min(next, now + 50'000'000);  // not in its wait this moment: looked at again shortly
      }
    }
    if (next == LLONG_MAX) {
      w.wake.wait(lock);
    } else {
      w.wake.wait_for(lock, std::chrono::nanoseconds(next - now));
    }
  }
}

void StartWatching(Watch& w) {
  if (w.running) return;
  std::thread(WatchLoop, &w).detach();
  w.running = true;
}

// The outermost session starts waiting on the connection.
void WatchBegin() {
  Watch& w = watch();
  {
    std::lock_guard lock(w.mutex);
    w.busy_since.store(Now(), std::memory_order_release);
  }
  w.wake.notify_one();
}

// A step of the session ended: the next wait gets a deadline of its own; a connection that failed in the last step
// gets room again for the requests of the next.
void WatchStep(Connection& c) {
  Watch& w = watch();
  if (w.busy_since.load(std::memory_order_relaxed) != 0) w.busy_since.store(Now(), std::memory_order_release);
  if (c.display != nullptr && c.dead.load(std::memory_order_acquire)) MakeRoom(c.display);
}

void WatchEnd() { watch().busy_since.store(0, std::memory_order_release); }

void WatchConnection(Display* display, const std::string& name) {
  Watch& w = watch();
  std::lock_guard lock(w.mutex);
  if (w.fd >= 0) ::close(w.fd);
  w.fd = display != nullptr ? ::fcntl(ConnectionNumber(display), F_DUPFD_CLOEXEC, 0) : -1;
  w.name = name;
  w.fired = false;
  if (w.fd >= 0) StartWatching(w);
}

// Ends a connection without waiting for its server: the reading side is shut first, so the round trip inside
// XCloseDisplay fails at once. Nothing sent then is of use anyway: the server frees the connection's resources.
void CloseAbruptly(Display* display) {
  ::shutdown(ConnectionNumber(display), SHUT_RD);
  closing = display;
  XCloseDisplay(display);
  closing = nullptr;
}

bool Dead(Connection& c) {
  if (c.display == nullptr) return false;
  if (!c.dead.load(std::memory_order_acquire) && xcb_connection_has_error(XGetXCBConnection(c.display)) != 0) {
    c.dead.store(true, std::memory_order_release);  // XCB met the end first; Xlib will when next used
  }
  return c.dead.load(std::memory_order_acquire);
}

// Runs on the thread that met the connection's failure, if there was one: Xlib keeps a broken display locked for
// that thread alone.
void Close(Connection& c) {
  if (c.display == nullptr) return;
  for (auto& listener : c.listeners) listener(c.display);
  Display* display = c.display;
  c.display = nullptr;
  c.session_display = nullptr;
  c.atoms.clear();
  c.trap = nullptr;
  c.monitors_selected = c.monitors_cached = false;
  c.monitors.clear();
  CloseAbruptly(display);
  WatchConnection(nullptr, "");
  c.current.store(nullptr, std::memory_order_release);
  c.dead.store(false, std::memory_order_release);
}

// A new connection to `name`, or null; waits at most the deadline, and never inside Xlib for a server that has not
// just answered. Called without the session lock.
Display* Connect(Connection& c, const std::string& name) {
  const ProbeResult probe = ProbeServer(name, KnownSilent(name) ? kRetryWait : kServerDeadline);
  MarkSilent(name, probe == ProbeResult::kSilent);
  if (probe != ProbeResult::kAnswered) return nullptr;
  InstallHandlers(c);
  Watch& w = watch();
  Opening opening{static_cast<pid_t>(::syscall(SYS_gettid)), Now(), name};
  {
    std::lock_guard lock(w.mutex);
    StartWatching(w);
    w.openings.push_back(&opening);
  }
  w.wake.notify_one();
  this_opening = &opening;
  opening_failed = false;
  Display* display = XOpenDisplay(name.c_str());
  this_opening = nullptr;
  {
    std::lock_guard lock(w.mutex);
    w.openings.erase(std::find(w.openings.begin(), w.openings.end(), &opening));
    if (opening.fd >= 0) ::close(opening.fd);
  }
  if (display != nullptr && (opening_failed || xcb_connection_has_error(XGetXCBConnection(display)) != 0)) {
    CloseAbruptly(display);  // the server went away while it was being opened
    display = nullptr;
  }
  opening_display = nullptr;
  return display;
}

// The display XOpenDisplay is making, before its first round trip past the setup; for the layer's connections (the
// opening thread says so) Xlib's exit on an I/O error is replaced from here on, and the watchdog may end the wait.
void OnOpeningDisplay(Display* display) {
  Opening* o = this_opening;
  if (o == nullptr) return;  // another library's connection
  SetExitHandler(display, OnIoErrorExit);
  opening_display = display;
  const int copy = ::fcntl(ConnectionNumber(display), F_DUPFD_CLOEXEC, 0);
  Watch& w = watch();
  std::lock_guard lock(w.mutex);
  o->fd = copy;
}

void Adopt(Connection& c, Display* display, const std::string& name) {
  c.display = display;
  c.name = name;
  ++c.generation;
  c.current.store(display, std::memory_order_release);
  WatchConnection(display, name);
}

// What may mean other monitors: RandR's events (screen size, CRTCs, outputs, resources) and the root's own
// structure events, of which ConfigureNotify is all the server sends when a client sets or deletes a monitor.
Bool IsMonitorEvent(Display*, XEvent* event, XPointer arg) {
  const auto* c = reinterpret_cast<const Connection*>(arg);
  const int type = event->type;
  if (type == c->randr_event_base + RRScreenChangeNotify || type == c->randr_event_base + RRNotify) return True;
  return type < LASTEvent && event->xany.window == DefaultRootWindow(event->xany.display);
}

// Takes every queued event out, so that the queue never grows (nothing else here reads events; the server also
// sends some that no one selects, such as keyboard MappingNotify), and drops the kept monitor list if one of them
// may mean other monitors. Never waits: only what has already been read from the server is taken.
void DrainMonitorEvents(Connection& c) {
  if (c.display == nullptr) return;
  XEvent event;
  while (!c.dead.load(std::memory_order_acquire) && XQLength(c.display) > 0) {
    XNextEvent(c.display, &event);
    if (!IsMonitorEvent(c.display, &event, reinterpret_cast<XPointer>(&c))) continue;
    XRRUpdateConfiguration(&event);  // keeps Xlib's idea of the screen size right
    c.monitors_cached = false;
  }
}

}  // namespace

Session::Session() : Session(true) {}

Session::Session(bool may_connect) : lock_(connection().mutex) {
  Connection& c = connection();
  if (c.depth++ != 0) {
    display_ = c.session_display;  // inside a user of the connection: whatever the outermost session chose
    WatchStep(c);
    return;
  }
  try {
    Begin(may_connect);
  } catch (...) {  // out of memory: no destructor runs for this session
    WatchEnd();
    c.session_display = nullptr;
    if (lock_.owns_lock()) --c.depth;
    throw;
  }
}

void Session::Begin(bool may_connect) {
  Connection& c = connection();
  // From the copy of the environment the binding took with the GIL: Python may be changing os.environ meanwhile.
  const std::string wanted = quorvel::platform::detail::GetEnvironmentValue("DISPLAY").value_or("");
  // The watchdog bounds every wait from here to the end of the session.
  WatchBegin();
  if (c.inherited != nullptr) {
    // A fork parent's connection: what this process holds for it is freed, without a word to its server.
    Display* inherited = std::exchange(c.inherited, nullptr);
    for (auto& listener : c.listeners) listener(inherited);
  }
  // A server that stopped has closed our socket, but nothing notices until the connection is read: read what is
  // there now (without blocking), so that a dead connection is replaced before this session uses it rather than
  // failing its first requests. Xlib flags the end of the stream through the I/O error handler.
  if (c.display != nullptr && !Dead(c)) XEventsQueued(c.display, QueuedAfterReading);
  if (Dead(c)) Close(c);
  if (c.display != nullptr && c.name != wanted && wanted.empty()) Close(c);
  if ((c.display == nullptr || c.name != wanted) && !wanted.empty() && may_connect) {
    // Opened without the lock: a server that answers slowly, or not at all, holds up only the threads that want it.
    // Nothing waits on the open connection meanwhile, so the session's clock stops: a new server that does not
    // answer must not end the connection that works.
    WatchEnd();
    --c.depth;
    lock_.unlock();
    Display* fresh = nullptr;
    const OpeningTurn turn(wanted);
    if (turn.mine()) fresh = Connect(c, wanted);
    LogBroken();
    lock_.lock();
    ++c.depth;
    WatchBegin();
    if (Dead(c)) Close(c);
    if (fresh != nullptr) {
      if (c.display != nullptr && c.name == wanted) {
        CloseAbruptly(fresh);  // another thread connected meanwhile
      } else {
        Close(c);
        Adopt(c, fresh, wanted);
      }
    }
  }
  if (c.display != nullptr && c.name == wanted && !Dead(c)) {
    // The read above may have queued monitor events: taken out here even when no monitor is asked for.
    if (XQLength(c.display) > 0) DrainMonitorEvents(c);
    display_ = Dead(c) ? nullptr : c.display;
  }
  c.session_display = display_;
  if (display_ == nullptr) WatchEnd();
}

Session::~Session() {
  Connection& c = connection();
  if (--c.depth != 0) return;
  WatchEnd();
  c.session_display = nullptr;
  // This thread met the failure, if there was one: it alone may still use (and so close) the display.
  if (Dead(c)) Close(c);
  if (!broken_note.empty()) {
    lock_.unlock();
    LogBroken();
  }
}

namespace {

// The child has this thread alone. The parent's connection, watchdog and locks are left as the fork found them, never
// used again: the connection's descriptor in the child is closed, which the parent's connection does not notice, and
// nothing is sent on it. Generations go on from the parent's, so caches keyed on the parent's connection never
// pass for the child's.
void ForgetInChild() {
  Connection* old = the_connection.load(std::memory_order_relaxed);
  auto* fresh = new Connection;
  if (old != nullptr) {
    fresh->generation = old->generation;
    fresh->listeners = old->listeners;
    fresh->previous_error = old->previous_error;
    fresh->previous_io = old->previous_io;
    fresh->inherited = old->display != nullptr ? old->display : old->inherited;
    if (old->display != nullptr) ::close(ConnectionNumber(old->display));
  }
  the_connection.store(fresh, std::memory_order_release);
  if (Watch* w = the_watch.load(std::memory_order_relaxed)) {
    if (w->fd >= 0) ::close(w->fd);
    for (Opening* o : w->openings) {
      if (o->fd >= 0) ::close(o->fd);
    }
  }
  the_watch.store(nullptr, std::memory_order_release);
  the_servers.store(nullptr, std::memory_order_release);
  ForgetXlibGlobalLockInChild();
}

}  // namespace

bool Session::alive() const {
  return display_ != nullptr && !connection().dead.load(std::memory_order_acquire) &&
         xcb_connection_has_error(XGetXCBConnection(display_)) == 0;
}

::Window Session::root() const { return display_ != nullptr ? DefaultRootWindow(display_) : 0; }

unsigned long Session::generation() const { return connection().generation; }

Atom Session::atom(const char* name) {
  if (display_ == nullptr) return None;
  Connection& c = connection();
  auto it = c.atoms.find(name);
  if (it != c.atoms.end()) return it->second;
  if (!alive()) return None;
  const Atom value = XInternAtom(display_, name, False);
  if (value != None) c.atoms.emplace(name, value);
  return value;
}

ErrorTrap::ErrorTrap(Session& session) : session_(session), outer_(connection().trap) {
  connection().trap = this;
  WatchStep(connection());
}

ErrorTrap::~ErrorTrap() {
  Connection& c = connection();
  if (c.trap == this) c.trap = outer_;
  WatchStep(c);
}

int ErrorTrap::Sync() {
  if (session_.alive()) XSync(session_.display(), False);
  if (!session_.alive() && error_ == 0) error_ = BadImplementation;
  return error_;
}

namespace {

HMONITOR MonitorHandle(Atom atom) { return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(atom)); }

bool HasRandr15(Session& session) {
  Connection& c = connection();
  if (c.randr_checked_generation != session.generation()) {
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    c.randr15 = XRRQueryExtension(session.display(), &event_base, &error_base) &&
                XRRQueryVersion(session.display(), &major, &minor) &&
                (major > 1 || (major == 1 && minor >= 5));
    c.randr_event_base = event_base;
    c.randr_checked_generation = session.generation();
  }
  return c.randr15;
}

}  // namespace

std::vector<Monitor> Monitors(Session& session) {
  std::vector<Monitor> result;
  Display* display = session.display();
  if (display == nullptr) return result;
  Connection& c = connection();
  ErrorTrap trap(session);
  const bool randr15 = HasRandr15(session);
  if (randr15) {
    // The list is kept until an event says it may be stale. Every way of changing monitors makes the server send
    // one of the events selected here, written to us before the reply of any request it handles later; so
    // after draining what has arrived, the kept list is what a request answered at our last reply would say.
    // Selected in the same batch as the first fetch, so no change after that fetch goes unseen.
    if (!c.monitors_selected) {
      XRRSelectInput(display, session.root(),
                     RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask |
                         RRResourceChangeNotifyMask);
      XSelectInput(display, session.root(), StructureNotifyMask);
      c.monitors_selected = true;
    }
    DrainMonitorEvents(c);
    if (c.monitors_cached) return c.monitors;
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(display, session.root(), True, &count);
    if (info == nullptr) return {};
    // Freed however this ends: the list below can run out of memory.
    const std::unique_ptr<XRRMonitorInfo, decltype(&XRRFreeMonitors)> owned(info, XRRFreeMonitors);
    for (int i = 0; i < count; ++i) {
      const XRRMonitorInfo& m = info[i];
      if (m.name == None || m.width <= 0 || m.height <= 0) continue;
      result.push_back({MonitorHandle(m.name), RECT{m.x, m.y, m.x + m.width, m.y + m.height}, m.mwidth, m.mheight,
                        m.primary != 0});
    }
  } else {
    const int screen = DefaultScreen(display);
    result.push_back({MonitorHandle(session.atom("SCREEN")),
                      RECT{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)},
                      DisplayWidthMM(display, screen), DisplayHeightMM(display, screen), true});
  }
  // Only reply requests above: an error, or the connection's end, is known by now without another round trip.
  if (trap.error() != 0 || connection().dead.load(std::memory_order_acquire)) return {};
  // Windows always has one primary monitor, at the desktop origin. RandR may name none (Xvfb's monitors without
  // outputs): then the monitor at the origin, else the first, takes the part.
  bool have_primary = false;
  for (Monitor& m : result) {
    if (m.primary && have_primary) m.primary = false;
    have_primary = have_primary || m.primary;
  }
  if (!have_primary && !result.empty()) {
    Monitor* chosen = &result.front();
    for (Monitor& m : result) {
      if (m.rect.left <= 0 && 0 < m.rect.right && m.rect.top <= 0 && 0 < m.rect.bottom) {
        chosen = &m;
        break;
      }
    }
    chosen->primary = true;
  }
  // Events that came with the reply are left queued: they may be of changes made after it, and drop the list at
  // the next use.
  if (randr15) {
    c.monitors = result;
    c.monitors_cached = true;
  }
  return result;
}

std::vector<Monitor> Monitors() {
  Session session;
  return Monitors(session);
}

void AddCloseListener(std::function<void(Display*)> listener) {
  Connection& c = connection();
  std::lock_guard lock(c.mutex);
  c.listeners.push_back(std::move(listener));
}

bool Available() {
  Session session;
  return static_cast<bool>(session);
}

}  // namespace quorvel::platform::x11
