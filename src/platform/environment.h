// The process environment as the platform's calls on one thread see it.
//
// On Linux the environment is C state (`environ`) that setenv and unsetenv rewrite and reallocate; a reader that
// runs while another thread writes can read freed memory. Python writes it (os.environ) with the GIL held, so
// code that releases the GIL takes a copy first, with the GIL, and lets the platform's calls read that copy.
// On Windows the system guards the environment block itself: nothing is copied and the calls read the process
// environment as ever.
#pragma once

#ifdef _WIN32

namespace quorvel::platform {

class EnvironmentCopy {
 public:
  static EnvironmentCopy Take() { return EnvironmentCopy(); }

  class Use {
   public:
    explicit Use(const EnvironmentCopy& /*copy*/) {}
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
  };
};

}  // namespace quorvel::platform

#else
#include "platform/linux/base/environment.h"
#endif
