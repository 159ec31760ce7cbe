// WindowRect and WindowScreenshot: plain records with read-write fields; `area` reads as a live view into its
// screenshot and `image_blob` as a read-only memoryview that keeps the screenshot alive.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <typeinfo>

#include "game_screenshoter/window_types.h"
#include "module/constructed_on_new.h"
#include "module/image_blob_view.h"
#include "module/registration.h"

namespace py = pybind11;

namespace quorvel {

void RegisterWindowRect(py::module_& m) {
  py::class_<WindowRect> cls(m, "WindowRect");
  DefNoArgumentInit(cls);
  cls.def_readwrite("x", &WindowRect::x)
      .def_readwrite("y", &WindowRect::y)
      .def_readwrite("w", &WindowRect::w)
      .def_readwrite("h", &WindowRect::h);
}

void RegisterWindowScreenshot(py::module_& m) {
  py::object exporter_type = MakeImageBlobExporterType();
  auto image_blob = [exporter_type](const WindowScreenshot& shot) {
    // The getter is only reached through a bound instance; find that Python object to hold.
    py::handle owner = py::detail::get_object_handle(&shot, py::detail::get_type_info(typeid(WindowScreenshot)));
    if (!owner) throw std::runtime_error("WindowScreenshot.image_blob: the screenshot has no Python object");
    return ImageBlobView(exporter_type, owner, shot.image_blob);
  };
  py::class_<WindowScreenshot> cls(m, "WindowScreenshot");
  DefNoArgumentInit(cls);
  cls.def_property_readonly("image_blob", image_blob, py::return_value_policy::reference_internal)
      .def_readwrite("width", &WindowScreenshot::width)
      .def_readwrite("height", &WindowScreenshot::height)
      .def_readwrite("row_pitch", &WindowScreenshot::row_pitch)
      .def_readwrite("rotation", &WindowScreenshot::rotation)
      .def_readwrite("area", &WindowScreenshot::area);
}

}  // namespace quorvel
