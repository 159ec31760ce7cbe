// The module's only exported symbol, PyInit_quorvel, and its multi-phase module definition.
//
// The interpreter's version is checked before anything else: the module is built against one CPython minor
// version, and nothing that depends on it may run in another one.
#include <pybind11/pybind11.h>

#include <mutex>

#include "module/module_steps.h"
#include "module/registration.h"
#include "module/version_check.h"

#define QUORVEL_STRINGIFY(x) #x
#define QUORVEL_TOSTRING(x) QUORVEL_STRINGIFY(x)

namespace {

constexpr const char* kCompiledVersion = QUORVEL_TOSTRING(PY_MAJOR_VERSION) "." QUORVEL_TOSTRING(PY_MINOR_VERSION);

PyModuleDef_Slot g_slots[4] = {};  // filled once by the first accepted PyInit_quorvel
std::once_flag g_slots_filled;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel",  // m_name
    nullptr,    // m_doc: the exec step sets __doc__
    0,          // m_size
    nullptr,    // m_methods
    g_slots,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

void FillSlots() {
  g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(&quorvel::CreateCachedModule)};
  g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&pybind11_exec_quorvel)};
  // No Py_mod_gil slot: the module does not claim to run without the GIL.
  g_slots[2] = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
  g_slots[3] = {0, nullptr};
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_quorvel() {
  const char* runtime_version = Py_GetVersion();
  if (!quorvel::InterpreterVersionAccepted(runtime_version, kCompiledVersion)) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                 "incompatible: %s.",
                 kCompiledVersion, runtime_version);
    return nullptr;
  }
  // The binding library's process-wide state belongs to the main interpreter; a sub-interpreter is refused by
  // the create step and must not be the one that sets it up.
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
    try {
      pybind11::detail::get_internals();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_ImportError, e.what());
      return nullptr;
    }
  }
  std::call_once(g_slots_filled, FillSlots);
  return PyModuleDef_Init(&g_module_def);
}
