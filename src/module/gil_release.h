// Releasing the GIL around native work in a way that survives interpreter exit.
//
// Once finalisation has begun, CPython 3.13 ends a daemon thread that takes the GIL back by unwinding it
// (pthread_exit). pybind11's guards take it back in a noexcept destructor, where that unwind terminates the whole
// process. These guards park such a thread for good instead, as later CPython versions do; the process is exiting
// and nothing waits for the thread. A thread that loses the race between the check and the re-take is unwound
// from a destructor that allows it.
#pragma once

#include <Python.h>

#include <chrono>
#include <thread>

namespace quorvel {

[[noreturn]] inline void ParkThreadForever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

inline void RetakeGil(PyThreadState* state) {
  if (Py_IsFinalizing()) ParkThreadForever();
  PyEval_RestoreThread(state);
}

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { RetakeGil(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // The GIL again for a moment, inside a released scope (for instance to update state guarded by it).
  class Retaken {
   public:
    explicit Retaken(GilRelease& scope) : scope_(scope) { RetakeGil(scope_.state_); }
    ~Retaken() { scope_.state_ = PyEval_SaveThread(); }
    Retaken(const Retaken&) = delete;
    Retaken& operator=(const Retaken&) = delete;

   private:
    GilRelease& scope_;
  };

 private:
  PyThreadState* state_;
};

}  // namespace quorvel
