#include "module/module_cache.h"

#include <stdexcept>

namespace py = pybind11;

namespace quorvel {

namespace {

constexpr const char* kCacheKey = "__quorvel_module_cache";
constexpr const char* kCompletedKey = "__quorvel_completed_module";

py::dict StateDict() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) throw std::runtime_error("the interpreter has no state dictionary");
  return py::reinterpret_borrow<py::dict>(state);
}

// A borrowed entry of `dict`, or null; a failing lookup (a key whose comparison raises) throws.
PyObject* Lookup(py::handle dict, py::handle key) {
  PyObject* item = PyDict_GetItemWithError(dict.ptr(), key.ptr());
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return item;
}

}  // namespace

py::object CachedModule(py::handle name) {
  PyObject* cache = Lookup(StateDict(), py::str(kCacheKey));
  if (cache == nullptr || !PyDict_Check(cache)) return py::object();
  return py::reinterpret_borrow<py::object>(Lookup(cache, name));
}

void CacheCompletedModule(py::handle name, const py::module_& module) {
  py::dict state = StateDict();
  PyObject* cache = Lookup(state, py::str(kCacheKey));
  if (cache == nullptr || !PyDict_Check(cache)) {
    state[kCacheKey] = py::dict();
    cache = Lookup(state, py::str(kCacheKey));
  }
  if (PyDict_SetItem(cache, name.ptr(), module.ptr()) != 0) throw py::error_already_set();
  state[kCompletedKey] = module;
}

py::object CompletedModule() {
  return py::reinterpret_borrow<py::object>(Lookup(StateDict(), py::str(kCompletedKey)));
}

}  // namespace quorvel
