// start_fs_watch, stop_fs_watch, add_fs_watch, remove_fs_watch, the module's one handler slot, and
// WatchEventToPython, which carries each event from the watcher's worker to the Python handler.
//
// GIL rule: every watch function converts its arguments with the GIL, then releases it for the watcher call, so
// no thread holding the GIL ever waits for a watcher lock or for the worker; the worker takes the GIL only to
// call the handler. Calls made from inside a handler run on the worker and never wait for it (FsWatcher).
//
// Thread exit at finalisation: a daemon thread that waits for the GIL inside one of these functions when the
// interpreter finalises is ended by a forced unwind. Nothing it passes on the way may take the GIL again (that
// aborts the process), so the handler is held as a plain reference: the argument is borrowed from the call, and
// a reference taken out of the slot is released only by a thread that holds the GIL (left alone otherwise).
//
// Waits for the worker (stop_fs_watch, the stop at exit, a start that must join a stopping worker) let Python's
// signal handlers run, as Thread.join does: a KeyboardInterrupt there leaves the watcher stopping, and the next
// start or stop waits again.
#include "module/conversions.h"  // first: the casters of the watch types

#include <pybind11/pybind11.h>
#ifndef _WIN32
#include <pthread.h>
#endif

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs_watcher/fs_watcher.h"
#include "module/gil_release.h"
#include "module/path_argument.h"
#include "module/registration.h"

namespace py = pybind11;

namespace quorvel {

// The `handler` argument of start_fs_watch: a callable or None (null), borrowed from the call.
struct HandlerArgument {
  PyObject* callable = nullptr;
};


}  // namespace quorvel

namespace pybind11::detail {

template <>
struct type_caster<quorvel::HandlerArgument> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::HandlerArgument, const_name("Callable[[int, FsWatchAction, str, str], None]"));

  bool load(handle src, bool convert) {
    if (src.is_none()) {
      value.callable = nullptr;
      return convert;
    }
    if (!PyCallable_Check(src.ptr())) return false;
    value.callable = src.ptr();
    return true;
  }
};


}  // namespace pybind11::detail

namespace quorvel {

void WatchEventToPython(std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path);

namespace {

// A strong reference that is released only by a thread holding the GIL. A thread ended by the exiting
// interpreter unwinds through it without the GIL and leaves the reference alone.
class HeldRef {
 public:
  HeldRef() = default;
  explicit HeldRef(PyObject* owned) : object_(owned) {}
  HeldRef(HeldRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  HeldRef& operator=(HeldRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~HeldRef() {
    if (object_ != nullptr && PyThreadState_GetUnchecked() != nullptr) Py_DECREF(object_);
  }

 private:
  PyObject* object_ = nullptr;
};

// The slot: a strong reference to the handler, or null. Written only with the GIL held; never destroyed, so no
// static destructor releases a Python reference after the interpreter is gone. The flag answers the quick test
// without the GIL.
PyObject* python_watch_handler = nullptr;
std::atomic<bool> handler_installed{false};
// Set by the stop at interpreter exit: a worker started after it would outlive the interpreter.
std::atomic<bool> exiting{false};

// Serialises start and stop with the slot update that follows them, so the slot always holds the handler of the
// start that made the running worker. Taken only without the GIL, and never on the worker.
std::mutex& StartStopMutex() {
  static std::mutex* const mutex = new std::mutex();
  return *mutex;
}

// With the GIL: empties the slot and hands back what it held.
HeldRef TakeHandler() {
  HeldRef previous(std::exchange(python_watch_handler, nullptr));
  handler_installed.store(false, std::memory_order_release);
  return previous;
}

// With the GIL: the slot takes a new reference to `callable` (null: empty).
void InstallHandler(PyObject* callable) {
  Py_XINCREF(callable);
  python_watch_handler = callable;
  handler_installed.store(callable != nullptr, std::memory_order_release);
}

// Called while a start or stop waits for the worker, inside `release`: runs Python's signal handlers, as
// Thread.join does; an exception they raise (KeyboardInterrupt) gives up the wait.
FsWatcher::WaitHook SignalCheck(GilRelease& release) {
  return [&release] {
    GilRelease::Retaken gil(release);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
}

void StopWatcherAtExit();

// Interpreter exit with a running watcher: the worker must be gone before the interpreter is, so the first
// successful start registers a stop with atexit. With the GIL.
void RegisterExitStop() {
  static bool registered = false;
  if (registered) return;
  try {
    py::module_::import("atexit").attr("register")(py::cpp_function(&StopWatcherAtExit));
    registered = true;
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("quorvel: registering the watcher's stop at exit");
  }
}

bool StartFsWatch(HandlerArgument handler) {
  FsWatcher* watcher = FsWatcher::Instance();
  // On the worker a worker is held by definition: Start answers false without waiting.
  if (watcher->IsWorkerThread()) return watcher->Start();
  HeldRef previous;
  bool started = false;
  {
    GilRelease release;
    std::lock_guard<std::mutex> start_stop(StartStopMutex());
    if (exiting.load()) return false;
    started = watcher->Start(SignalCheck(release));
    if (started) {
      GilRelease::Retaken gil(release);
      previous = TakeHandler();
      InstallHandler(handler.callable);
    }
  }
  if (started) RegisterExitStop();
  return started;
}

void StopFsWatch() {
  // Events that test the slot from here on are dropped.
  HeldRef previous = TakeHandler();
  FsWatcher* watcher = FsWatcher::Instance();
  if (watcher->IsWorkerThread()) {
    watcher->Stop();  // asks the worker to leave its loop, then throws: RuntimeError in the handler
    return;
  }
  HeldRef raced;
  {
    GilRelease release;
    std::lock_guard<std::mutex> start_stop(StartStopMutex());
    watcher->Stop(SignalCheck(release));
    // A start that overtook the first emptying installed a handler for a worker that is now gone.
    GilRelease::Retaken gil(release);
    raced = TakeHandler();
  }
}

std::uint64_t AddFsWatch(const PathArgument& dir, std::vector<WatchFilter> filters, std::uint32_t flags,
                         bool file_only) {
  return FsWatcher::Instance()->WatchDir(dir.value, std::move(filters), flags, file_only,
                                         WatchHandler(&WatchEventToPython));
}

void RemoveFsWatch(std::uint64_t watch_id) { FsWatcher::Instance()->RemoveWatch(watch_id); }

void StopWatcherAtExit() {
  HeldRef previous = TakeHandler();
  HeldRef raced;
  GilRelease release;
  std::lock_guard<std::mutex> start_stop(StartStopMutex());
  exiting = true;
  FsWatcher::Instance()->Stop(SignalCheck(release));
  GilRelease::Retaken gil(release);
  raced = TakeHandler();  // installed by a start that held the lock first
}

// The worker's one Python thread state, made at its first handler call and kept for its whole life: a state
// per event would map and unmap a frame stack every time.
thread_local PyThreadState* worker_state = nullptr;

// Takes the GIL on the worker; false when the interpreter is finalising (the event is dropped).
bool AcquireWorkerGil() {
  if (Py_IsFinalizing()) return false;
  if (worker_state == nullptr) {
    worker_state = PyThreadState_New(PyInterpreterState_Main());
    if (worker_state == nullptr) return false;
  }
  PyEval_RestoreThread(worker_state);
  return true;
}

// On the worker, as it ends: its thread state is cleared and deleted there (left to an exiting interpreter).
void ReleaseWorkerThreadState() {
  PyThreadState* state = std::exchange(worker_state, nullptr);
  if (state == nullptr || Py_IsFinalizing()) return;
  PyEval_RestoreThread(state);
  PyThreadState_Clear(state);
  PyThreadState_DeleteCurrent();
}

// The handler's context in sys.unraisablehook reports. With the GIL.
PyObject* UnraisableContext() {
  static PyObject* const context = PyUnicode_FromString("quorvel: fs watch handler");
  return context;
}

// A path for the handler: names that are not valid Unicode keep their escapes (lone surrogates), as os.fsdecode
// gives them on Linux and as Windows names with unpaired UTF-16 surrogates are, so os functions accept them.
PyObject* PathToPython(std::wstring_view path) {
  return PyUnicode_FromWideChar(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* ActionToPython(FsWatchAction action) {
  py::object member = FsWatchActionToPython(action);
  // A value without a member still reaches the handler, as the plain int.
  if (!member) return PyLong_FromLong(static_cast<long>(action));
  return member.release().ptr();
}

void CallPythonHandler(std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path) {
  // Its own reference: stop_fs_watch called from inside the handler must not release the callable that runs.
  PyObject* handler = python_watch_handler;
  Py_INCREF(handler);
  PyObject* args[4] = {PyLong_FromUnsignedLongLong(id), ActionToPython(action), PathToPython(path),
                       PathToPython(old_path)};
  if (args[0] && args[1] && args[2] && args[3]) {
    PyObject* result = PyObject_Vectorcall(handler, args, 4, nullptr);
    if (result == nullptr) {
      PyErr_WriteUnraisable(UnraisableContext());
    } else {
      Py_DECREF(result);
    }
  } else {
    PyErr_WriteUnraisable(UnraisableContext());
  }
  for (PyObject* arg : args) Py_XDECREF(arg);
  Py_DECREF(handler);
}

}  // namespace

// On the worker thread. Never throws: whatever the handler or the conversion of its arguments raises goes to
// sys.unraisablehook, and the worker goes on with the next record.
void WatchEventToPython(std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path) {
  if (!handler_installed.load(std::memory_order_acquire)) return;
  if (!AcquireWorkerGil()) return;
  // Emptied while this event waited: dropped.
  if (handler_installed.load(std::memory_order_acquire) && python_watch_handler != nullptr) {
    try {
      CallPythonHandler(id, action, path, old_path);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(py::reinterpret_borrow<py::object>(UnraisableContext()));
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      PyErr_WriteUnraisable(UnraisableContext());
    }
  }
  PyEval_SaveThread();
}

void RegisterWatchFunctions(py::module_& m) {
  FsWatcher::Instance()->SetWorkerEndHook(&ReleaseWorkerThreadState);
#ifndef _WIN32
  // A child after fork may have inherited the lock held by a thread that is gone.
  static const bool fork_handled =
      pthread_atfork(nullptr, nullptr, [] { new (&StartStopMutex()) std::mutex(); }) == 0;
  (void)fork_handled;
#endif
  m.def("start_fs_watch", &StartFsWatch, py::arg("handler"));
  m.def("stop_fs_watch", &StopFsWatch);
  m.def("add_fs_watch", &AddFsWatch, py::arg("dir"), py::arg("filters"), py::arg("flags"), py::arg("file_only"),
        py::call_guard<GilRelease>());
  m.def("remove_fs_watch", &RemoveFsWatch, py::arg("watch_id"), py::call_guard<GilRelease>());
}

}  // namespace quorvel
