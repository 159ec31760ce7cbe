// start_fs_watch, stop_fs_watch, add_fs_watch, remove_fs_watch, the module's one handler slot, and
// WatchEventToPython, which carries each event from the watcher's worker to the Python handler.
//
// GIL rule: every watch function converts its arguments with the GIL, then releases it for the watcher call, so
// no thread holding the GIL ever waits for a watcher lock or for the worker; the worker takes the GIL only to
// call the handler. Calls made from inside a handler run on the worker and never wait for it (FsWatcher).
#include "module/conversions.h"  // first: the casters of the watch types

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "fs_watcher/fs_watcher.h"
#include "module/gil_release.h"
#include "module/registration.h"

namespace py = pybind11;

namespace quorvel {

void WatchEventToPython(std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path);

namespace {

// The slot. Written only with the GIL held; never destroyed, so no static destructor releases a Python
// reference after the interpreter is gone. The flag answers the quick test without the GIL.
WatchHandler& PythonWatchHandler() {
  static WatchHandler* const slot = new WatchHandler();
  return *slot;
}
std::atomic<bool> handler_installed{false};
// Set by the stop at interpreter exit: a worker started after it would outlive the interpreter.
std::atomic<bool> exiting{false};

// Serialises start and stop with the slot update that follows them, so the slot always holds the handler of the
// start that made the running worker. Taken only without the GIL, and never on the worker.
std::mutex& StartStopMutex() {
  static std::mutex* const mutex = new std::mutex();
  return *mutex;
}

// With the GIL: empties the slot and hands back what it held, for the caller to release once it holds no lock
// (releasing a Python callable may run arbitrary code).
WatchHandler TakeHandler() {
  WatchHandler previous;
  previous.swap(PythonWatchHandler());
  handler_installed.store(false, std::memory_order_release);
  return previous;
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

bool StartFsWatch(WatchHandler handler) {
  FsWatcher* watcher = FsWatcher::Instance();
  // On the worker a worker is held by definition: Start answers false without waiting.
  if (watcher->IsWorkerThread()) return watcher->Start();
  WatchHandler previous;
  bool started = false;
  {
    GilRelease release;
    std::lock_guard<std::mutex> start_stop(StartStopMutex());
    if (exiting.load()) return false;
    started = watcher->Start();
    if (started) {
      GilRelease::Retaken gil(release);
      previous = TakeHandler();
      PythonWatchHandler() = std::move(handler);
      handler_installed.store(static_cast<bool>(PythonWatchHandler()), std::memory_order_release);
    }
  }
  if (started) RegisterExitStop();
  return started;
}

void StopFsWatch() {
  // Events that test the slot from here on are dropped.
  WatchHandler previous = TakeHandler();
  FsWatcher* watcher = FsWatcher::Instance();
  if (watcher->IsWorkerThread()) {
    watcher->Stop();  // asks the worker to leave its loop, then throws: RuntimeError in the handler
    return;
  }
  WatchHandler raced;
  {
    GilRelease release;
    std::lock_guard<std::mutex> start_stop(StartStopMutex());
    watcher->Stop();
    // A start that overtook the first emptying installed a handler for a worker that is now gone.
    GilRelease::Retaken gil(release);
    raced = TakeHandler();
  }
}

std::uint64_t AddFsWatch(const std::wstring& dir, std::vector<WatchFilter> filters, std::uint32_t flags,
                         bool file_only) {
  return FsWatcher::Instance()->WatchDir(dir, std::move(filters), flags, file_only, WatchHandler(&WatchEventToPython));
}

void RemoveFsWatch(std::uint64_t watch_id) { FsWatcher::Instance()->RemoveWatch(watch_id); }

void StopWatcherAtExit() {
  WatchHandler previous = TakeHandler();
  WatchHandler raced;
  GilRelease release;
  std::lock_guard<std::mutex> start_stop(StartStopMutex());
  exiting = true;
  FsWatcher::Instance()->Stop();
  GilRelease::Retaken gil(release);
  raced = TakeHandler();  // installed by a start that held the lock first
}

}  // namespace

// On the worker thread. Never throws: whatever the handler or the conversion of the paths raises goes to
// sys.unraisablehook, and the worker goes on with the next record.
void WatchEventToPython(std::uint64_t id, FsWatchAction action, std::wstring_view path, std::wstring_view old_path) {
  if (!handler_installed.load(std::memory_order_acquire)) return;
  if (Py_IsFinalizing()) return;
  py::gil_scoped_acquire gil;
  if (!handler_installed.load(std::memory_order_acquire)) return;  // emptied while this event waited
  try {
    // A copy: stop_fs_watch called from inside the handler must not release the callable that is running.
    const WatchHandler handler = PythonWatchHandler();
    handler(id, action, path, old_path);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("quorvel: fs watch handler");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    PyErr_WriteUnraisable(py::str("quorvel: fs watch handler").ptr());
  }
#ifdef __GLIBCXX__
  catch (abi::__forced_unwind&) {
    throw;  // thread exit during interpreter shutdown
  }
#endif
  catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native exception");
    PyErr_WriteUnraisable(py::str("quorvel: fs watch handler").ptr());
  }
}

void RegisterWatchFunctions(py::module_& m) {
  m.def("start_fs_watch", &StartFsWatch, py::arg("handler"));
  m.def("stop_fs_watch", &StopFsWatch);
  m.def("add_fs_watch", &AddFsWatch, py::arg("dir"), py::arg("filters"), py::arg("flags"), py::arg("file_only"),
        py::call_guard<GilRelease>());
  m.def("remove_fs_watch", &RemoveFsWatch, py::arg("watch_id"), py::call_guard<GilRelease>());
}

}  // namespace quorvel
