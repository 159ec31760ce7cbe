// Read-only memoryviews over a screenshot's pixel bytes, without a copy.
//
// pybind11's memoryview::from_memory makes a view that owns nothing, and reference_internal cannot tie a plain
// object to it: a slice taken from it would outlive the screenshot. So the bytes are exported through the
// buffer protocol by a small object that holds the screenshot; every view made from a view (slices, casts)
// shares that export and so keeps the screenshot, and the bytes, alive.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace quorvel {

// The exporter type, "quorvel.ImageBlobExporter"; not instantiable from Python.
pybind11::object MakeImageBlobExporterType();

// A new one-dimensional, read-only view of unsigned bytes (format "B") over `bytes`, which `owner` must own
// and keep unchanged while it lives; the view and all views derived from it hold `owner`. RuntimeError "Could
// not allocate memoryview object!" when it cannot be made.
pybind11::memoryview ImageBlobView(pybind11::handle exporter_type, pybind11::handle owner,
                                   const std::vector<std::uint8_t>& bytes);

}  // namespace quorvel
