// The create and exec steps of multi-phase initialisation, with the per-interpreter cache that makes a repeated
// import or a reload hand back the module already built instead of registering everything again.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvel {

// Create step: the completed module recorded under the spec's name in this interpreter, else a new module of
// that name. ImportError "module spec is missing a name" when the spec has no name (or None). Refuses any
// interpreter but the main one: the binding library's state is process-wide and tied to the main interpreter.
PyObject* CreateCachedModule(PyObject* spec, PyModuleDef* def);

// Exec step: runs `init` on `module` unless a completed module is recorded under its spec's name, and records
// the module once `init` has returned. 0 on success; -1 with ImportError set on failure: "initialization failed"
// caused by the Python error that was raised, or the native failure's own text.
int ExecModuleOnce(PyObject* module, void (*init)(pybind11::module_&));

}  // namespace quorvel
