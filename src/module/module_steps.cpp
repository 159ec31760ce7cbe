#include "module/module_steps.h"

#include <exception>

#include "module/module_cache.h"

namespace py = pybind11;

namespace quorvel {

PyObject* CreateCachedModule(PyObject* spec, PyModuleDef* def) {
  try {
    // CPython refuses isolated sub-interpreters itself, because of the multiple-interpreters slot; a legacy one
    // would get through and share the main interpreter's binding state.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", def->m_name);
      return nullptr;
    }
    PyObject* raw_name = nullptr;
    if (PyObject_GetOptionalAttrString(spec, "name", &raw_name) < 0) return nullptr;
    auto name = py::reinterpret_steal<py::object>(raw_name);
    if (!name || name.is_none()) {
      PyErr_SetString(PyExc_ImportError, "module spec is missing a name");
      return nullptr;
    }
    py::str key(name);
    if (py::object cached = CachedModule(key)) return cached.release().ptr();
    return PyModule_NewObject(key.ptr());
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}

int ExecModuleOnce(PyObject* module, void (*init)(py::module_&)) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    py::str key(m.attr("__spec__").attr("name"));
    if (!CachedModule(key)) {
      init(m);
      CacheCompletedModule(key, m);
    }
    return 0;
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "initialization failed: unknown native exception");
  }
  return -1;
}

}  // namespace quorvel
