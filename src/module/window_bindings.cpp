// find_window_by_path and capture_window. Both release the GIL for the whole native call (a capture may wait
// seconds for a frame), reading the environment ($DISPLAY) from a copy taken before; a capture's screenshot is
// moved into its Python object, so the pixels are never copied.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>

#include "game_screenshoter/find_game_window.h"
#include "game_screenshoter/window_capture.h"
#include "module/gil_release.h"
#include "module/path_argument.h"
#include "module/registration.h"
#include "platform/environment.h"

namespace py = pybind11;

namespace quorvel {

void RegisterWindowFunctions(py::module_& m) {
  m.def(
      "find_window_by_path",
      [](const PathArgument& install_path, std::uint64_t prev_hwnd) {
        const platform::EnvironmentCopy environment = platform::EnvironmentCopy::Take();
        GilRelease release;
        const platform::EnvironmentCopy::Use use(environment);
        return FindGameWindow(install_path.value, prev_hwnd);
      },
      py::arg("install_path"), py::arg("prev_hwnd") = std::uint64_t{0}, "Find window of specified path");
  m.def(
      "capture_window",
      [](std::uint64_t hwnd) {
        const platform::EnvironmentCopy environment = platform::EnvironmentCopy::Take();
        GilRelease release;
        const platform::EnvironmentCopy::Use use(environment);
        return capture_window(hwnd);
      },
      py::arg("hwnd"), "Take screenshot for window");
}

}  // namespace quorvel
