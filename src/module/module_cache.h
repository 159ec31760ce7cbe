// Per-interpreter record of the modules whose exec step completed. It lives in the interpreter's state dict, so
// it goes with its interpreter, and only completed modules enter it: a failed import leaves nothing behind.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvel {

// The completed module recorded under `name` (a str) in this interpreter, or an empty object.
pybind11::object CachedModule(pybind11::handle name);

// Records `module` under `name`; it also becomes this interpreter's CompletedModule().
void CacheCompletedModule(pybind11::handle name, const pybind11::module_& module);

// The module that most recently completed its exec step in this interpreter, or an empty object. Conversions
// find the module's Python-made types (the IntEnum) through it.
pybind11::object CompletedModule();

}  // namespace quorvel
