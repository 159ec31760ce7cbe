// utils.get_known_path and utils.expand_env_path: arguments converted and the environment copied with the GIL,
// the native call without it.
//
// Both read the process environment. On Linux that is C state which os.environ rewrites (with the GIL held) from
// any thread at any time, so it is copied before the GIL is released and the native call reads the copy.
#include <pybind11/pybind11.h>

#include "module/gil_release.h"
#include "module/path_argument.h"
#include "module/registration.h"
#include "platform/environment.h"
#include "utils/env_path.h"
#include "utils/known_folders.h"

namespace py = pybind11;

namespace quorvel {
namespace {

PathResult GetKnownPathBinding(const PathArgument& known_path_clsid) {
  const platform::EnvironmentCopy environment = platform::EnvironmentCopy::Take();
  GilRelease release;
  const platform::EnvironmentCopy::Use use(environment);
  return PathResult{get_known_path(known_path_clsid.value)};
}

// None arrives as a null pointer; a str with an embedded NUL is read up to it.
PathResult ExpandEnvPathBinding(const NullablePathArgument& path) {
  const platform::EnvironmentCopy environment = platform::EnvironmentCopy::Take();
  GilRelease release;
  const platform::EnvironmentCopy::Use use(environment);
  return PathResult{expand_env_path(path.c_str())};
}

}  // namespace

void RegisterKnownPathFunctions(py::module_& utils) {
  utils.def("get_known_path", &GetKnownPathBinding, py::arg("known_path_clsid"));
  utils.def("expand_env_path", &ExpandEnvPathBinding, py::arg("path"));
}

}  // namespace quorvel
