// A path argument: any str, also one with lone surrogates (a name that is not valid Unicode, as os.fsdecode gives
// it on Linux and as Windows names with unpaired UTF-16 surrogates are), converted with the platform's
// wide-character convention. pybind11's own wide-string conversion refuses such a str, so a path that every os
// function accepts would otherwise fail as "incompatible function arguments".
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

namespace quorvel {

struct PathArgument {
  std::wstring value;
};

}  // namespace quorvel

namespace pybind11::detail {

template <>
struct type_caster<quorvel::PathArgument> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::PathArgument, const_name("str"));

  bool load(handle src, bool /*convert*/) {
    if (!src || !PyUnicode_Check(src.ptr())) return false;
    Py_ssize_t size = 0;
    wchar_t* data = PyUnicode_AsWideCharString(src.ptr(), &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    value.value.assign(data, static_cast<std::size_t>(size));
    PyMem_Free(data);
    return true;
  }
};

}  // namespace pybind11::detail
