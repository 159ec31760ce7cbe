// utils.extract_png_from_executable_icon and its bytes adapter: the PNG is made without the GIL, the Python
// bytes (or None) only once the GIL is back. The icon theme's folders come from the environment, copied while the
// GIL is still held (platform/environment.h says why).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module/gil_release.h"
#include "module/path_argument.h"
#include "module/registration.h"
#include "platform/environment.h"
#include "utils/shell_icon_png.h"

namespace py = pybind11;

namespace quorvel {
namespace {

// None for no image, otherwise bytes holding the vector in full (empty bytes for a failed encoding).
std::optional<py::bytes> IconBytes(std::optional<std::vector<unsigned char>> png) {
  if (!png) return std::nullopt;
  return py::bytes(reinterpret_cast<const char*>(png->data()), png->size());
}

std::optional<py::bytes> ExtractPngBinding(const PathArgument& file_name, std::uint32_t width, std::uint32_t height) {
  std::optional<std::vector<unsigned char>> png;
  const platform::EnvironmentCopy environment = platform::EnvironmentCopy::Take();
  {
    GilRelease release;
    const platform::EnvironmentCopy::Use use(environment);
    png = ExtractPngFromExecutableIcon(file_name.value, width, height);
  }
  return IconBytes(std::move(png));
}

}  // namespace

void RegisterIconFunction(py::module_& utils) {
  utils.def("extract_png_from_executable_icon", &ExtractPngBinding, py::arg("file_name"), py::arg("width"),
            py::arg("height"));
}

}  // namespace quorvel
