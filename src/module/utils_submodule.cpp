// The submodule `utils`, made the way pybind11 3's def_submodule does: shared with sys.modules under its full
// name and given the module's __file__, so `import quorvel.utils` finds it and tools can locate its source.
#include <pybind11/pybind11.h>

#include <string>

#include "module/registration.h"

namespace py = pybind11;

namespace quorvel {

py::module_ MakeUtilsSubmodule(py::module_& m) {
  const char* parent_name = PyModule_GetName(m.ptr());
  if (parent_name == nullptr) throw py::error_already_set();
  const std::string full_name = std::string(parent_name) + ".utils";
  auto utils = py::reinterpret_steal<py::module_>(PyImport_AddModuleRef(full_name.c_str()));
  if (!utils) throw py::error_already_set();

  if (PyObject* file = PyModule_GetFilenameObject(m.ptr())) {
    utils.attr("__file__") = py::reinterpret_steal<py::object>(file);
  } else if (PyErr_ExceptionMatches(PyExc_SystemError)) {
    PyErr_Clear();  // the module has no file name (built in memory)
  } else {
    throw py::error_already_set();
  }
  m.attr("utils") = utils;
  return utils;
}

}  // namespace quorvel
