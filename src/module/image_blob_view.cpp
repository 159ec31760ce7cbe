#include "module/image_blob_view.h"

namespace py = pybind11;

namespace quorvel {

namespace {

struct ImageBlobExporter {
  PyObject_HEAD
  PyObject* owner;  // strong
  std::uint8_t* data;
  Py_ssize_t size;
};

// An empty vector may have no storage at all; a view still needs an address.
std::uint8_t g_no_bytes = 0;

int GetBuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* exporter = reinterpret_cast<ImageBlobExporter*>(self);
  void* data = exporter->size > 0 ? exporter->data : &g_no_bytes;
  return PyBuffer_FillInfo(view, self, data, exporter->size, /*readonly=*/1, flags);
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<ImageBlobExporter*>(self)->owner);
  return 0;
}

// No tp_clear: the bytes must stay valid while any view exists, so the owner is released only here. A cycle
// through the owner (a subclass instance holding a view) is broken by the owner's or the views' own clear.
void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<ImageBlobExporter*>(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Traverse)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&GetBuffer)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "quorvel.ImageBlobExporter",
    sizeof(ImageBlobExporter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

[[noreturn]] void FailAllocation() {
  PyErr_Clear();
  py::pybind11_fail("Could not allocate memoryview object!");
}

}  // namespace

py::object MakeImageBlobExporterType() {
  PyObject* type = PyType_FromSpec(&g_spec);
  if (type == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(type);
}

py::memoryview ImageBlobView(py::handle exporter_type, py::handle owner, const std::vector<std::uint8_t>& bytes) {
  auto* exporter = PyObject_GC_New(ImageBlobExporter, reinterpret_cast<PyTypeObject*>(exporter_type.ptr()));
  if (exporter == nullptr) FailAllocation();
  exporter->owner = Py_NewRef(owner.ptr());
  exporter->data = const_cast<std::uint8_t*>(bytes.data());  // exported read-only
  exporter->size = static_cast<Py_ssize_t>(bytes.size());
  PyObject_GC_Track(exporter);
  PyObject* view = PyMemoryView_FromObject(reinterpret_cast<PyObject*>(exporter));
  Py_DECREF(exporter);
  if (view == nullptr) FailAllocation();
  return py::reinterpret_steal<py::memoryview>(view);
}

}  // namespace quorvel
