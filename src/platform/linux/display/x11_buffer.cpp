// What the layer needs of Xlib's private state, alone in this file because Xlib's private header clashes with the
// C++ library (min/max macros).
#include <X11/Xlibint.h>
#include <pthread.h>

// Xlib's process-wide lock (exported; declared in Xos_r.h): a record whose first field is the mutex's address.
extern "C" LockInfoPtr _Xglobal_lock;
// Set by XInitThreads (exported, not declared in any header). XOpenDisplay calls it with the new display once the
// setup has been read and the display's exit handler set to Xlib's default, before any other round trip.
extern "C" int (*_XInitDisplayLock_fn)(Display* display);

namespace quorvel::platform::x11 {

// After an I/O error Xlib neither sends nor drops what it buffers, and once XCB has had the socket back the buffer
// has no room at all: every later request then gets a null request record, through which most request functions
// write. The code of a session that meets the failure may still make a few requests before it learns of it (they
// are never sent), so x11_display.cpp makes room for them as soon as the failure is known, and again at each step
// of that session.
void MakeRoom(Display* display) {
  display->bufptr = display->buffer;
  display->bufmax = display->buffer + BUFSIZE;  // the smallest buffer Xlib makes
}

namespace {

pthread_mutex_t* XlibGlobalMutex() {
  if (_Xglobal_lock == nullptr) return nullptr;
  return *reinterpret_cast<pthread_mutex_t**>(_Xglobal_lock);
}

int (*xlib_init_display_lock)(Display*) = nullptr;
void (*on_new_display)(Display*) = nullptr;

int InitDisplayLockAndTell(Display* display) {
  const int failed = xlib_init_display_lock(display);
  if (failed == 0) on_new_display(display);
  return failed;
}

}  // namespace

// XOpenDisplay holds this lock only while XCB connects (the setup's round trip); its later round trips run without
// it.
bool XlibGlobalLockHeld() {
  pthread_mutex_t* mutex = XlibGlobalMutex();
  if (mutex == nullptr) return false;
  if (pthread_mutex_trylock(mutex) != 0) return true;
  pthread_mutex_unlock(mutex);
  return false;
}

// In a child after fork, where the thread that held the lock does not exist: Xlib's next XOpenDisplay (and every
// extension's first call) would wait for it for ever. The child has one thread here, so nothing else can hold it.
void ForgetXlibGlobalLockInChild() {
  pthread_mutex_t* mutex = XlibGlobalMutex();
  if (mutex == nullptr) return;
  if (pthread_mutex_trylock(mutex) == 0) {
    pthread_mutex_unlock(mutex);
  } else {
    pthread_mutex_init(mutex, nullptr);
  }
}

// Once, after XInitThreads and before any connection of the layer. Every display XOpenDisplay makes, on any thread,
// is handed to `callback` on the opening thread before its first round trip past the setup.
bool WatchOpeningDisplays(void (*callback)(Display*)) {
  if (_XInitDisplayLock_fn == nullptr || callback == nullptr) return false;
  on_new_display = callback;
  xlib_init_display_lock = _XInitDisplayLock_fn;
  _XInitDisplayLock_fn = InitDisplayLockAndTell;
  return true;
}

// Without taking the display's lock, which Xlib may not have made usable yet: for a display no other thread knows.
void SetExitHandler(Display* display, XIOErrorExitHandler handler) {
  display->exit_handler = handler;
  display->exit_handler_data = nullptr;
}

}  // namespace quorvel::platform::x11
