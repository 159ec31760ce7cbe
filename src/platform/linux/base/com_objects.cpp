#include <atomic>

#include "platform/linux/base/win32_com.h"

namespace quorvel::platform {

std::atomic<long>& LiveComObjects() {
  static std::atomic<long>* live = new std::atomic<long>(0);  // never destroyed: objects may die during exit
  return *live;
}

}  // namespace quorvel::platform
