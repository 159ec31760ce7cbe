#include "module/int_enum.h"

#include "module/module_cache.h"

namespace py = pybind11;

namespace quorvel {

py::object AddIntEnum(py::module_& scope, const char* name, std::initializer_list<IntEnumMember> members,
                      bool export_values) {
  py::list items;
  for (const IntEnumMember& member : members) items.append(py::make_tuple(member.name, member.value));
  py::object cls = py::module_::import("enum").attr("IntEnum")(name, items, py::arg("module") = scope.attr("__name__"),
                                                               py::arg("qualname") = name);
  scope.attr(name) = cls;
  if (export_values) {
    for (const IntEnumMember& member : members) scope.attr(member.name) = cls.attr(member.name);
  }
  return cls;
}

py::object FindIntEnum(const char* name) {
  try {
    py::object module = CompletedModule();
    if (!module) return py::object();
    PyObject* cls = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    if (cls == nullptr || !PyType_Check(cls)) return py::object();
    return py::reinterpret_borrow<py::object>(cls);
  } catch (py::error_already_set&) {
    return py::object();  // the error is dropped with the exception object
  } catch (const std::exception&) {
    return py::object();
  }
}

}  // namespace quorvel
