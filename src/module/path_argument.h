// Paths between Python and the native side in the form os functions use: any str, also one with lone surrogates
// (a name that is not valid Unicode, as os.fsdecode gives it on Linux and as Windows names with unpaired UTF-16
// surrogates are), converted with the platform's wide-character convention both ways. pybind11's own wide-string
// conversion refuses such a str, so a path that every os function accepts would otherwise fail as "incompatible
// function arguments", and a result holding one would raise UnicodeDecodeError.
//
// Whether a name with surrogates names anything is the callee's concern: on Linux only U+DC80..U+DCFF stand for
// bytes, and the platform refuses a file name with any other surrogate rather than guess.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace quorvel {

struct PathArgument {
  std::wstring value;
};

// A path argument that may also be None.
struct NullablePathArgument {
  std::optional<std::wstring> value;

  const wchar_t* c_str() const { return value ? value->c_str() : nullptr; }
};

// A path handed back to Python.
struct PathResult {
  std::wstring value;
};

// False, with no Python error set, when `src` is not a str.
inline bool LoadPath(pybind11::handle src, std::wstring& out) {
  if (!src || !PyUnicode_Check(src.ptr())) return false;
  Py_ssize_t size = 0;
  wchar_t* data = PyUnicode_AsWideCharString(src.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  try {
    out.assign(data, static_cast<std::size_t>(size));
  } catch (...) {
    PyMem_Free(data);
    throw;
  }
  PyMem_Free(data);
  return true;
}

}  // namespace quorvel

namespace pybind11::detail {

template <>
struct type_caster<quorvel::PathArgument> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::PathArgument, const_name("str"));

  bool load(handle src, bool /*convert*/) { return quorvel::LoadPath(src, value.value); }
};

template <>
struct type_caster<quorvel::NullablePathArgument> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::NullablePathArgument, const_name("str"));

  bool load(handle src, bool /*convert*/) {
    if (src.is_none()) {
      value.value.reset();
      return true;
    }
    return quorvel::LoadPath(src, value.value.emplace());
  }
};

template <>
struct type_caster<quorvel::PathResult> {
 public:
  PYBIND11_TYPE_CASTER(quorvel::PathResult, const_name("str"));

  // A null handle with the Python error set when the text holds a value no str can (past U+10FFFF).
  static handle cast(const quorvel::PathResult& src, return_value_policy /*policy*/, handle /*parent*/) {
    return PyUnicode_FromWideChar(src.value.data(), static_cast<Py_ssize_t>(src.value.size()));
  }
};

}  // namespace pybind11::detail
