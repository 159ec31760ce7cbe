#include "module/registration.h"

#include "module/module_steps.h"

void pybind11_init_quorvel(pybind11::module_& m) {
  using namespace quorvel;
  m.doc() = "Disk mounting helper library bindings for python";
  RegisterLogging(m);
  RegisterWindowRect(m);
  RegisterWindowScreenshot(m);
  RegisterWindowFunctions(m);
  RegisterFsWatchAction(m);
  RegisterWatchFilter(m);
  RegisterWatchFunctions(m);
  pybind11::module_ utils = MakeUtilsSubmodule(m);
  RegisterKnownPathFunctions(utils);
  RegisterIconFunction(utils);
}

int pybind11_exec_quorvel(PyObject* m) { return quorvel::ExecModuleOnce(m, &pybind11_init_quorvel); }
