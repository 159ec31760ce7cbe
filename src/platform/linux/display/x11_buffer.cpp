// What the layer needs of Xlib's private state, alone in this file because Xlib's private header clashes with the
// C++ library (min/max macros).
#include <X11/Xlibint.h>
#include <pthread.h>

// Xlib's process-wide lock (exported; declared in Xos_r.h): a record whose first field is the mutex's address.
extern "C" LockInfoPtr _Xglobal_lock;

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

// XOpenDisplay holds this lock only while XCB connects (the setup's round trip); its later round trips run without
// it, and an I/O error there ends the process, as no exit handler can be set before XOpenDisplay returns.
bool XlibGlobalLockHeld() {
  if (_Xglobal_lock == nullptr) return false;
  auto* mutex = *reinterpret_cast<pthread_mutex_t**>(_Xglobal_lock);
  if (mutex == nullptr) return false;
  if (pthread_mutex_trylock(mutex) != 0) return true;
  pthread_mutex_unlock(mutex);
  return false;
}

}  // namespace quorvel::platform::x11
