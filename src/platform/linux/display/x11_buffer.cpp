// After an I/O error Xlib neither sends nor drops what it buffers, and once XCB has had the socket back the buffer
// has no room at all: every later request then gets a null request record, through which most request functions
// write. The code of a session that meets the failure may still make a few requests before it learns of it (they
// are never sent), so x11_display.cpp makes room for them as soon as the failure is known, and again at each step
// of that session. Alone in this file because Xlib's private header clashes with the C++ library (min/max macros).
#include <X11/Xlibint.h>

namespace quorvel::platform::x11 {

void MakeRoom(Display* display) {
  display->bufptr = display->buffer;
  display->bufmax = display->buffer + BUFSIZE;  // the smallest buffer Xlib makes
}

}  // namespace quorvel::platform::x11
