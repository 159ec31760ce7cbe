// Sleep: the calling thread waits at least the given milliseconds (INFINITE: for ever); 0 only yields.
#include <chrono>
#include <thread>

#include "platform/linux/display/x11_windows.h"

void Sleep(DWORD dwMilliseconds) {
  quorvel::platform::detail::CountCall("Sleep");
  if (quorvel::platform::detail::SeamVirtualSleep(dwMilliseconds)) return;
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    while (true) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
