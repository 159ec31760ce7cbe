// The module's Python API. pybind11_init_quorvel registers it in a fixed order, as a flat list of the Register
// functions below; each adds its names to the module it is given and throws on failure (the exec step turns
// that into ImportError).
#pragma once

#include <pybind11/pybind11.h>

namespace quorvel {

void RegisterLogging(pybind11::module_& m);           // init_logging               (logging_bindings.cpp)
void RegisterWindowRect(pybind11::module_& m);        // class WindowRect           (window_classes.cpp)
void RegisterWindowScreenshot(pybind11::module_& m);  // class WindowScreenshot     (window_classes.cpp)
void RegisterWindowFunctions(pybind11::module_& m);   // find_window_by_path, capture_window (window_bindings.cpp)
void RegisterFsWatchAction(pybind11::module_& m);     // IntEnum FsWatchAction      (watch_classes.cpp)
void RegisterWatchFilter(pybind11::module_& m);       // class WatchFilter          (watch_classes.cpp)
void RegisterWatchFunctions(pybind11::module_& m);    // start/stop/add/remove_fs_watch (watch_bindings.cpp)

// Fetches or creates the submodule `utils` (full name "<module>.utils", shared with sys.modules, __file__ of
// the module) and sets it as the module's attribute; its functions are registered on the returned object.
pybind11::module_ MakeUtilsSubmodule(pybind11::module_& m);  // (utils_submodule.cpp)

void RegisterKnownPathFunctions(pybind11::module_& utils);  // utils.get_known_path, utils.expand_env_path
                                                            // (utils_path_bindings.cpp)
void RegisterIconFunction(pybind11::module_& utils);  // utils.extract_png_from_executable_icon (icon_bindings.cpp)

}  // namespace quorvel

// The registration body, run once per interpreter by the exec step.
void pybind11_init_quorvel(pybind11::module_& m);

// The exec step of the module definition.
int pybind11_exec_quorvel(PyObject* m);
