// utils.get_known_path and utils.expand_env_path: arguments converted with the GIL, the native call without it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/gil_release.h"
#include "module/registration.h"
#include "utils/env_path.h"
#include "utils/known_folders.h"

namespace py = pybind11;

namespace quorvel {

void RegisterKnownPathFunctions(py::module_& utils) {
  utils.def("get_known_path", &get_known_path, py::arg("known_path_clsid"), py::call_guard<GilRelease>());
  // None arrives as a null pointer; a str with an embedded NUL is read up to it.
  utils.def("expand_env_path", &expand_env_path, py::arg("path"), py::call_guard<GilRelease>());
}

}  // namespace quorvel
