#include "module/constructed_on_new.h"

#include <string>
#include <typeindex>
#include <unordered_map>

namespace py = pybind11;

namespace quorvel::detail {

namespace {

// Filled while registering, with the GIL held; read under the GIL.
std::unordered_map<std::type_index, ValueFactory>& Factories() {
  static auto* factories = new std::unordered_map<std::type_index, ValueFactory>();
  return *factories;
}

// tp_new of the classes: pybind11's allocation, then every native part of the instance constructed and
// registered, as a successful __init__ would leave it.
PyObject* NewConstructed(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  PyObject* self = py::detail::pybind11_object_new(subtype, args, kwargs);
  if (self == nullptr) return nullptr;
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  try {
    for (auto v_h : py::detail::values_and_holders(inst)) {
      auto found = Factories().find(std::type_index(*v_h.type->cpptype));
      if (found == Factories().end()) {
        PyErr_Format(PyExc_TypeError, "%s cannot be created: its base %s is not default-constructible",
                     subtype->tp_name, v_h.type->type->tp_name);
        Py_DECREF(self);
        return nullptr;
      }
      v_h.value_ptr() = found->second.make();
      try {
        v_h.type->init_instance(inst, nullptr);
      } catch (...) {
        if (!v_h.holder_constructed()) {
          found->second.destroy(v_h.value_ptr());
          v_h.value_ptr() = nullptr;
        }
        throw;
      }
    }
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    Py_DECREF(self);
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  return self;
}

// `Class.__new__(subtype, ...)`, bound to the class as CPython binds its own tp_new wrappers. Without it the
// inherited pybind11_object.__new__ would refuse the class (its tp_new is not pybind11's any more), and Python
// subclasses that define __new__ could not call the base's.
PyObject* NewMethod(PyObject* cls, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) < 1) {
    PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    return nullptr;
  }
  PyObject* subtype = PyTuple_GET_ITEM(args, 0);
  if (!PyType_Check(subtype) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(subtype),
                                                   reinterpret_cast<PyTypeObject*>(cls))) {
    PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a subtype of %s",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name, reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    return nullptr;
  }
  return NewConstructed(reinterpret_cast<PyTypeObject*>(subtype), args, kwargs);
}

PyObject* InitMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args) + (kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0);
  if (given != 0) {
    PyErr_Format(PyExc_TypeError, "%s.__init__() takes no arguments (%zd given)", Py_TYPE(self)->tp_name, given);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// A method table entry and its doc string for each class; they must outlive the class.
struct InitMethodDef {
  std::string doc;
  PyMethodDef def;
};

PyMethodDef g_new_method = {"__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&NewMethod)),
                            METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

void ConstructOnNew(py::handle cls, const std::type_info& type, ValueFactory factory) {
  Factories()[std::type_index(type)] = factory;
  auto* type_object = reinterpret_cast<PyTypeObject*>(cls.ptr());
  auto new_method = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&g_new_method, cls.ptr(), nullptr));
  if (!new_method) throw py::error_already_set();
  // Straight into the dict: setting __new__ as an attribute would make CPython route tp_new through Python.
  if (PyDict_SetItemString(type_object->tp_dict, "__new__", new_method.ptr()) != 0) throw py::error_already_set();
  type_object->tp_new = &NewConstructed;
  PyType_Modified(type_object);

  auto* init = new InitMethodDef{"__init__(self: " + std::string(type_object->tp_name) + ") -> None\n", {}};
  init->def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&InitMethod)),
               METH_VARARGS | METH_KEYWORDS, init->doc.c_str()};
  auto init_method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type_object, &init->def));
  if (!init_method) throw py::error_already_set();
  cls.attr("__init__") = init_method;  // as an attribute, so that tp_init calls it
}

}  // namespace quorvel::detail
